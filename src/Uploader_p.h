#ifndef UPLOADER_P_H
#define UPLOADER_P_H

// The uploader's own helpers: declared here for its tests, used nowhere else.

#include <QNetworkReply>
#include <QString>
#include <QUrl>

namespace UploaderInternal {

// Resolves a redirect target against the URL that was posted to.
QString computeRedirectUrl(const QUrl& requestUrl, const QUrl& redirectTarget);

// An HTTP status that ends the upload as it is (and becomes the exit code).
bool isRecognisedStatus(int status);
// A redirect that is followed with a new POST of the same form.
bool isFollowedRedirect(int status);
// The program's own code for a network error.
int transportErrorCode(QNetworkReply::NetworkError error);

}

#endif
