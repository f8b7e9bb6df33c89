#include "form/DryRun.h"

#include <QCryptographicHash>
#include <QIODevice>

#include "support/console.h"

namespace DryRun {

void print(const QList<FormPart>& form)
{
    QByteArray json;
    bool hasJson = false;
    for (const FormPart& part : form) {
        QCryptographicHash sha256(QCryptographicHash::Sha256);
        qint64 size = part.body.size();
        if (part.bodyDevice) {
            part.bodyDevice->seek(0);
            sha256.addData(part.bodyDevice);
            size = part.bodyDevice->size();
        } else {
            sha256.addData(part.body);
        }
        QByteArray line = "name=\"" + part.name + '"';
        if (!part.fileName.isEmpty())
            line += " filename=\"" + part.fileName + '"';
        if (!part.contentType.isEmpty())
            line += " type=" + part.contentType;
        line += " size=" + QByteArray::number(size) + " sha256=" + sha256.result().toHex();
        if (part.fileName.isEmpty())
            line += " value=\"" + part.body + '"';
        Console::out(line.toStdString());
        if (part.name == "jsonFile" && !part.fileName.isEmpty()) {
            json = part.body;
            hasJson = true;
        }
    }
    if (hasJson) {
        // A file's text: its lines as they are, their control characters escaped.
        Console::out("--- jsonFile ---");
        if (json.endsWith('\n'))
            json.chop(1);
        if (!json.isEmpty()) {
            for (const QByteArray& jsonLine : json.split('\n'))
                Console::out(toConsoleEscaped(QString::fromLatin1(jsonLine)));
        }
        Console::out("--- end ---");
    }
}

}
