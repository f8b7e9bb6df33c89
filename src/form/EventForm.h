#ifndef EVENTFORM_H
#define EVENTFORM_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

#include "form/BodyFile.h"
#include "form/FormPart.h"
#include "parse/RequestHeaders.h"
#include "support/Outcome.h"

// The form step: the event's parts as the collector receives them, in order:
// the JSON description with its placeholders filled in (when there is one),
// the archive, then one part per form variable, by name.
namespace EventForm {

struct Event {
    QString eventId;
    QString jsonFile;                    // empty: no description
    QMap<QString, QString> variables;    // org, project, type and every --extra-post
    QString archiveName;                 // the event id and ".zip", as the part names it
    bool hashParts = false;              // --hash-parts: each part with a file carries its digest
};

// Fills form; the archive is opened here and streamed from while it stays
// open. On failure "Fail to open ..." is printed on standard error, the form
// is left empty and the failure given.
// With quiet, nothing is printed: a form built ahead of its time is built again, aloud, when it failed.
std::optional<Outcome> build(const Event& event, BodyFile& archive, QList<FormPart>& form, bool quiet = false);

// What goes with every request of the event: with --hash-parts, Idempotency-Key: "EVENTID",
// the same on every attempt, redirect and resend, so that a collector knows a post it has had.
QList<RequestHeaders::Header> eventHeaders(const QString& eventId, bool hashParts);

// What the archive is called in the form: the event id and ".zip".
QString archiveName(const QString& eventId);

// Replaces $eventId, $org, $project and $type, in that order, in the JSON bytes.
QByteArray fillPlaceholders(QByteArray json, const QString& eventId, const QMap<QString, QString>& variables);
// The event id followed by the JSON path from its last '.' on (the whole path when it has none).
QString jsonPartFileName(const QString& eventId, const QString& jsonPath);

}

#endif
