// The archiver output normalisation and the placeholder substitution, on arbitrary bytes.
#include <QRegExp>

#include <cstdint>

#include "archive/Archiver.h"
#include "form/EventForm.h"
#include "require.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), int(size));

    const QString message = Archiver::message(input);
    require(!message.contains(QLatin1Char('\r')) && !message.contains(QLatin1Char('|')), "no CR and no '|'");
    require(!message.contains(QLatin1String("\n\n")), "no run of line ends");
    require(message.isEmpty() || (!message.front().isSpace() && !message.back().isSpace()),
            "no leading or trailing white space");
    // The rule as first written: replace every run with one line end.
    QString reference = QString::fromLatin1(input.left(input.indexOf('\0') < 0 ? input.size() : input.indexOf('\0')));
    reference.replace(QRegExp(QStringLiteral("[\n|\r]+")), QStringLiteral("\n"));
    require(message == reference.trimmed(), "the same as the regular expression");

    // The first line holds the four values, the rest is the JSON text.
    const int newline = input.indexOf('\n');
    const QList<QByteArray> values = input.left(std::max(newline, 0)).split('\t');
    const QByteArray json = newline < 0 ? input : input.mid(newline + 1);
    const QString eventId = QString::fromLatin1(values.value(0));
    const QMap<QString, QString> variables{{QStringLiteral("org"), QString::fromLatin1(values.value(1))},
                                           {QStringLiteral("project"), QString::fromLatin1(values.value(2))},
                                           {QStringLiteral("type"), QString::fromLatin1(values.value(3))}};
    const QByteArray filled = EventForm::fillPlaceholders(json, eventId, variables);
    if (!json.contains('$'))
        require(filled == json, "a JSON text without '$' comes out unchanged");
    if (!input.left(std::max(newline, 0)).contains('$'))
        require(filled.count('$') <= json.count('$'), "values without '$' add none");
    return 0;
}
