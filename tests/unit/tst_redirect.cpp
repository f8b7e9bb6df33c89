#include <QtTest>

#include "Uploader_p.h"

using namespace UploaderInternal;

class TestRedirect : public QObject {
    Q_OBJECT
private slots:
    void resolve_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("result");
        const struct { const char *request, *target, *result; } rows[] = {
            {"http://host/events/new", "https://other:8443/inbox?id=7", "https://other:8443/inbox?id=7"},
            {"http://host:8080/events/new?q=1", "/inbox/./today?id=7#top", "http://host:8080/inbox/./today?id=7#top"},
            {"http://host:81/events/new", "//cdn/files", "http://host:81/files"},
            {"http://host/events/new", "submit", "http://host/events/submit"},
            {"http://host/events/new/", "submit", "http://host/events/new/submit"},
            {"http://host/api/events/new", "../submit", "http://host/api/submit"},
            {"http://host/api/events/new", "./done/../final/", "http://host/api/events/final"},
            {"http://host/api/events/new", "done/../../final", "http://host/api/final"},
            {"http://host/api//events/new", "submit", "http://host/api/events/submit"},
            {"http://host/events/new", "", "http://host/events"},
            {"http://host/new", "", "http://host/"},
            {"http://host/events/new?q=1", "?page=2", "http://host/events?page=2"},
            {"http://host/events/new", "ftp://files/inbox/today", "http://host/events/inbox/today"},
            {"https://host/events/new", "done/", "https://host/events/done"},
            // Left open by the rules: a leading ".." is dropped, an empty path is "/".
            {"http://host/new", "../submit", "http://host/submit"},
            {"http://host", "submit", "http://host/submit"},
            {"http://u:pw@host:9/a/b", "c", "http://u:pw@host:9/a/c"},
            {"http://u:pw@host/a/b", "/c", "http://u:pw@host/c"},
            {"http://host/a/b", "//me@other:1/c", "http://host/c"},
            // User info is copied whole: a trailing blank is part of the name.
            {"http://u%20@host/a/b", "c", "http://u @host/a/c"},
            // A blank the URL itself ends with is kept, encoded, not trimmed away.
            {"http://host/a/b", "c%20", "http://host/a/c%20"},
            {"http://host/a/b", "http://other/x?q=%C2%A0", "http://other/x?q=%C2%A0"},
            // A Location that does not parse counts as none, not as an empty URL to post to.
            {"http://host/events/new", "https://othe&r:8443/inbox", "http://host/events"},
        };
        for (const auto& row : rows)
            QTest::newRow(row.target) << QString::fromLatin1(row.request) << QString::fromLatin1(row.target)
                                      << QString::fromLatin1(row.result);
    }
    void resolve()
    {
        QFETCH(QString, request);
        QFETCH(QString, target);
        QFETCH(QString, result);
        QCOMPARE(computeRedirectUrl(QUrl(request), QUrl(target)), result);
    }
};

QTEST_APPLESS_MAIN(TestRedirect)
#include "tst_redirect.moc"
