#include "form/FormPart.h"

#include <QNetworkRequest>

QHttpPart FormPart::toHttpPart() const
{
    QHttpPart part;
    if (!contentType.isEmpty())
        part.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    QByteArray disposition = "form-data; name=\"" + name + '"';
    if (!fileName.isEmpty())
        disposition += "; filename=\"" + fileName + '"';
    part.setHeader(QNetworkRequest::ContentDispositionHeader, disposition);
    if (bodyDevice)
        part.setBodyDevice(bodyDevice);
    else
        part.setBody(body);
    return part;
}
