#include "parse/RequestHeaders.h"

#include <algorithm>

#include "parse/FileLimits.h"
#include "support/PosixFiles.h"

namespace {

// RFC 7230's token: the characters a header name may hold.
bool isToken(const QByteArray& name)
{
    static const QByteArray extra("!#$%&'*+-.^_`|~");
    return !name.isEmpty() && std::all_of(name.cbegin(), name.cend(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || extra.contains(c);
    });
}

// The headers that the program and Qt write themselves.
bool isManaged(const QByteArray& name)
{
    static const QList<QByteArray> managed{"content-type", "content-length", "host", "transfer-encoding", "connection"};
    return managed.contains(name.toLower());
}

QString shown(const QString& origin, const QByteArray& name)
{
    const QString text = origin.isEmpty() ? QString::fromLatin1(name)
                                          : name.isNull() ? origin : origin + QLatin1String(": ") + QString::fromLatin1(name);
    return QLatin1Char('"') + text + QLatin1Char('"');
}

}

bool RequestHeaders::add(const QString& argument, QString& why)
{
    if (!argument.startsWith(QLatin1Char('@')))
        return addLine(argument.toLatin1(), QString(), why);

    QByteArray text;
    QString problem;
    // Only a regular file: a device or a pipe could be read for ever.
    switch (PosixFiles::readNamedFile(argument.mid(1), FileLimits::credential, text, problem)) {
    case PosixFiles::Read::Unreadable:
        why = shown(argument, QByteArray()) + QLatin1String(" (a readable file of header lines)");
        return false;
    case PosixFiles::Read::TooLarge:
        why = shown(argument, QByteArray()) + QLatin1String(" (a file of header lines, at most 1 MiB)");
        return false;
    case PosixFiles::Read::Ok:
        break;
    }
    int number = 0;
    for (QByteArray line : text.split('\n')) {
        ++number;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        if (!addLine(line, argument + QStringLiteral(" line %1").arg(number), why))
            return false;
    }
    return true;
}

bool RequestHeaders::addLine(const QByteArray& line, const QString& origin, QString& why)
{
    const int colon = line.indexOf(':');
    if (colon < 0) {
        // Without a colon there is no telling a name from a secret: show neither.
        why = shown(origin, QByteArray()) + QLatin1String(" (a line of the form Name: value)");
        return false;
    }
    const QByteArray name = line.left(colon);
    const QByteArray value = line.mid(colon + 1).trimmed();
    if (!isToken(name)) {
        // Not a name, so perhaps part of a secret: not shown either.
        why = shown(origin, QByteArray()) + QLatin1String(" (a header name made of letters, digits and !#$%&'*+-.^_`|~)");
        return false;
    }
    if (value.contains('\r') || value.contains('\n') || value.contains('\0')) {
        why = shown(origin, name) + QLatin1String(" (a value without CR, LF or NUL)");
        return false;
    }
    if (isManaged(name)) {
        why = shown(origin, name) + QLatin1String(" (a header that quillfast sets itself)");
        return false;
    }
    headers.append({name, value});
    return true;
}

const QList<RequestHeaders::Header>& RequestHeaders::list() const
{
    return headers;
}

