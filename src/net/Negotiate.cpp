#include "net/Negotiate.h"

#include <gssapi/gssapi.h>

#include <cstring>

namespace Negotiate {

namespace {

// SPNEGO, as browsers and curl speak it: 1.3.6.1.5.5.2.
gss_OID_desc spnego_oid = {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};

// GSSAPI's own words for a major or minor status.
QString statusText(OM_uint32 status, int type)
{
    QString text;
    OM_uint32 context = 0;
    do {
        OM_uint32 minor = 0;
        gss_buffer_desc message = GSS_C_EMPTY_BUFFER;
        if (gss_display_status(&minor, status, type, GSS_C_NO_OID, &context, &message) != GSS_S_COMPLETE)
            break;
        if (!text.isEmpty())
            text += QLatin1String("; ");
        // Some mechanisms count the message's terminating NUL in its length.
        QByteArray bytes(static_cast<const char*>(message.value), int(message.length));
        while (bytes.endsWith('\0'))
            bytes.chop(1);
        text += QString::fromLocal8Bit(bytes);
        gss_release_buffer(&minor, &message);
    } while (context != 0);
    return text;
}

QString reason(OM_uint32 major, OM_uint32 minor)
{
    const QString minorText = statusText(minor, GSS_C_MECH_CODE);
    return minorText.isEmpty() ? statusText(major, GSS_C_GSS_CODE) : minorText;
}

}

bool proxyAuthorization(const QString& proxyHost, QByteArray& header, QString& why)
{
    const QByteArray service = "HTTP@" + proxyHost.toLatin1();
    gss_buffer_desc serviceName{size_t(service.size()), const_cast<char*>(service.constData())};
    OM_uint32 minor = 0;
    gss_name_t target = GSS_C_NO_NAME;
    OM_uint32 major = gss_import_name(&minor, &serviceName, GSS_C_NT_HOSTBASED_SERVICE, &target);
    if (GSS_ERROR(major)) {
        why = QStringLiteral("no Kerberos credentials: ") + reason(major, minor);
        return false;
    }
    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    gss_buffer_desc token = GSS_C_EMPTY_BUFFER;
    major = gss_init_sec_context(&minor, GSS_C_NO_CREDENTIAL, &context, target, &spnego_oid, 0, 0,
                                 GSS_C_NO_CHANNEL_BINDINGS, GSS_C_NO_BUFFER, nullptr, &token, nullptr, nullptr);
    OM_uint32 ignored = 0;
    gss_release_name(&ignored, &target);
    if (context != GSS_C_NO_CONTEXT)
        gss_delete_sec_context(&ignored, &context, GSS_C_NO_BUFFER);
    if (GSS_ERROR(major) || token.length == 0) {
        gss_release_buffer(&ignored, &token);
        why = QStringLiteral("no Kerberos credentials: ") + reason(major, minor);
        return false;
    }
    header = "Negotiate " + QByteArray(static_cast<const char*>(token.value), int(token.length)).toBase64();
    gss_release_buffer(&ignored, &token);
    return true;
}

}
