#include <QtTest>

#include <QDir>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include "net/CpuPinning.h"

namespace {

// Each thread of this process by name, with the CPUs it may run on.
QMap<QString, QString> masks()
{
    QMap<QString, QString> found;
    for (const QString& task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        QFile status(QStringLiteral("/proc/self/task/%1/status").arg(task));
        if (!comm.open(QIODevice::ReadOnly) || !status.open(QIODevice::ReadOnly))
            continue;
        const QString name = QString::fromLatin1(comm.readAll()).trimmed();
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Cpus_allowed_list:"))
                found.insert(name, QString::fromLatin1(line.mid(18)).trimmed());
        }
    }
    return found;
}

}

class TestPinning : public QObject {
    Q_OBJECT
private slots:
    void bothThreadsShareOneCpuThenGetTheirMaskBack()
    {
        const QString self = QCoreApplication::applicationName().left(15);  // as the kernel keeps it
        const QString whole = masks().value(self);
        if (!whole.contains(QLatin1Char('-')) && !whole.contains(QLatin1Char(',')))
            QSKIP("this process may run on one CPU only: nothing to pin");
        QNetworkAccessManager manager;
        {
            const CpuPinning pinning;
            if (!pinning.isActive())
                QSKIP("built without QUILLFAST_CPU_PINNING");
            // The manager makes its HTTP thread on its first request, with the caller's one CPU.
            QEventLoop loop;
            std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:9/")))));
            QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
            loop.exec();
            const QMap<QString, QString> pinned = masks();
            const QString caller = pinned.value(self);
            QVERIFY2(!caller.contains(QLatin1Char('-')) && !caller.contains(QLatin1Char(',')), qPrintable(caller));
            QCOMPARE(pinned.value(QStringLiteral("QNetworkAccessM")), caller);
        }
        const QMap<QString, QString> after = masks();
        QCOMPARE(after.value(self), whole);
        QCOMPARE(after.value(QStringLiteral("QNetworkAccessM")), whole);
    }
};

QTEST_GUILESS_MAIN(TestPinning)
#include "tst_pinning.moc"
