#ifndef EVENTFORM_H
#define EVENTFORM_H

#include <QByteArray>
#include <QMap>
#include <QString>

// The event's form: its JSON description with the placeholders filled in, and
// the names its parts are sent under.
namespace EventForm {

// Replaces $eventId, $org, $project and $type, in that order, in the JSON bytes.
QByteArray fillPlaceholders(QByteArray json, const QString& eventId, const QMap<QString, QString>& variables);
// The event id followed by the JSON path from its last '.' on (the whole path when it has none).
QString jsonPartFileName(const QString& eventId, const QString& jsonPath);

}

#endif
