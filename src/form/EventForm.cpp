#include "form/EventForm.h"

namespace EventForm {

QByteArray fillPlaceholders(QByteArray json, const QString& eventId, const QMap<QString, QString>& variables)
{
    json.replace("$eventId", eventId.toLatin1());
    json.replace("$org", variables.value(QStringLiteral("org")).toLatin1());
    json.replace("$project", variables.value(QStringLiteral("project")).toLatin1());
    json.replace("$type", variables.value(QStringLiteral("type")).toLatin1());
    return json;
}

QString jsonPartFileName(const QString& eventId, const QString& jsonPath)
{
    return eventId + jsonPath.mid(jsonPath.lastIndexOf(QLatin1Char('.'), -1, Qt::CaseSensitive));
}

}
