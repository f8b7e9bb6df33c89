#ifndef UPLOADER_P_H
#define UPLOADER_P_H

// The uploader's own helper: declared here for its tests, used nowhere else.

#include <QString>
#include <QUrl>

namespace UploaderInternal {

// Resolves a redirect target against the URL that was posted to.
QString computeRedirectUrl(const QUrl& requestUrl, const QUrl& redirectTarget);

}

#endif
