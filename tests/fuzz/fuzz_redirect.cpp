// Redirect resolution: a request URL and a Location target, split on the first
// NUL, through computeRedirectUrl; a relative target must stay on the request's server.
#include <cstdint>
#include <string>

#include "Uploader_p.h"
#include "require.h"

using UploaderInternal::computeRedirectUrl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    const int split = input.indexOf('\0');
    if (split < 0)
        return 0;
    // As the uploader has them: the request from the command line, the target from a Location header.
    const QUrl request(QString::fromLatin1(input.left(split)));
    const QUrl target = QUrl::fromEncoded(input.mid(split + 1));
    // Qt takes some hosts that its own encoded form does not give back (a soft
    // hyphen before a dot): no server can be reached through them, so they are left out.
    if (!request.isValid() || request.host().isEmpty() || !request.scheme().startsWith(QLatin1String("http"))
        || QUrl(QString::fromLatin1(request.toEncoded())).host() != request.host())
        return 0;

    const QString result = computeRedirectUrl(request, target);
    const std::string context = "\n request: " + request.toEncoded().toStdString() + "\n target: "
        + target.toEncoded().toStdString() + "\n result: " + result.toStdString();
    const QUrl resolved(result);
    require(resolved.isValid(), "the result parses as a URL", context);
    if (target.scheme().startsWith(QLatin1String("http")) || target.toString().startsWith(QLatin1Char('/')))
        return 0;

    const QString path = resolved.path();
    require(path.startsWith(QLatin1Char('/')), "the path is absolute", context);
    if (path != QLatin1String("/")) {
        for (const QString& segment : path.mid(1).split(QLatin1Char('/')))
            require(!segment.isEmpty() && segment != QLatin1String(".") && segment != QLatin1String(".."),
                    "no empty, '.' or '..' segment", context);
    }
    require(resolved.scheme() == request.scheme() && resolved.host() == request.host()
                && resolved.port() == request.port() && resolved.userInfo() == request.userInfo(),
            "the request's server", context);
    return 0;
}
