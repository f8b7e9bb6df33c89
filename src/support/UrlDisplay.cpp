#include "support/UrlDisplay.h"

namespace UrlDisplay {

QString text(const QUrl& url)
{
    if (url.password().isEmpty())
        return url.toString();
    return url.toString(QUrl::RemovePassword);
}

QString text(const QString& urlText)
{
    const QUrl url(urlText);
    return url.password().isEmpty() ? urlText : url.toString(QUrl::RemovePassword);
}

QString withoutPassword(QString text, const QUrl& url)
{
    if (url.password().isEmpty())
        return text;
    text.replace(url.toString(), url.toString(QUrl::RemovePassword));
    text.replace(url.toString(QUrl::FullyEncoded), url.toString(QUrl::RemovePassword | QUrl::FullyEncoded));
    return text;
}

}
