#ifndef REQUESTHEADERS_H
#define REQUESTHEADERS_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// The headers given with --header, checked before anything is made. Their
// values may be secrets (a bearer token): nothing here ever prints one.
class RequestHeaders {
public:
    using Header = QPair<QByteArray, QByteArray>;

    // Adds "Name: value", or every such line of FILE for "@FILE" (empty lines
    // are skipped). False with why set to `"SHOWN" (REASON)`, where SHOWN is
    // the header's name, or where it came from, but never its value.
    bool add(const QString& argument, QString& why);

    const QList<Header>& list() const;

private:
    bool addLine(const QByteArray& line, const QString& origin, QString& why);

    QList<Header> headers;
};

#endif
