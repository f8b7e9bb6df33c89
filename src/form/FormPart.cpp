#include "form/FormPart.h"

#include <QNetworkRequest>

#include <algorithm>

QHttpPart FormPart::toHttpPart() const
{
    QHttpPart part;
    if (!contentType.isEmpty())
        part.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    QByteArray disposition = "form-data; name=\"" + quoted(name) + '"';
    if (!fileName.isEmpty())
        disposition += "; filename=\"" + quoted(fileName) + '"';
    part.setHeader(QNetworkRequest::ContentDispositionHeader, disposition);
    // RFC 9530: the collector can check the bytes it got.
    if (!sha256.isEmpty())
        part.setRawHeader("Content-Digest", "sha-256=:" + sha256.toBase64() + ':');
    if (bodyDevice)
        part.setBodyDevice(bodyDevice);
    else
        part.setBody(body);
    return part;
}

bool FormPart::mayHold(const QByteArray& text)
{
    return std::none_of(text.begin(), text.end(), [](char c) { return uchar(c) < 0x20 || uchar(c) == 0x7f; });
}

QByteArray FormPart::quoted(const QByteArray& text)
{
    QByteArray escaped = text;
    return escaped.replace('"', "%22");
}
