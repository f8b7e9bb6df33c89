// A queue entry's description, as a same-user attacker or a broken disk could
// leave it: read through the queue from a real entry folder.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

#include "queue/EventQueue.h"
#include "require.h"

namespace {

const QString folder = QStringLiteral("20260101T000000.000Z-0a1b2c3d-4e5f-6789-a");
const QByteArray outsideBytes = "not the queue's";

void put(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    require(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size(), "scratch file written");
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool hasControl(const QByteArray& text)
{
    return std::any_of(text.begin(), text.end(), [](char c) { return uchar(c) < 0x20 || uchar(c) == 0x7f; });
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir scratch;
    static const QString queueDir = scratch.filePath(QStringLiteral("q"));
    static const QString entryDir = queueDir + QLatin1Char('/') + folder;
    static bool ready = false;
    if (!ready) {
        require(QDir().mkpath(entryDir) && QFile::setPermissions(queueDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner),
                "scratch queue made");
        put(entryDir + QStringLiteral("/part-0"), "{}");
        put(entryDir + QStringLiteral("/part-1"), "PK-zip");
        put(queueDir + QStringLiteral("/outside"), outsideBytes);
        ready = true;
    }
    const QByteArray input(reinterpret_cast<const char*>(data), int(size));
    put(entryDir + QStringLiteral("/entry.json"), input);

    EventQueue queue(queueDir);
    QString why;
    require(queue.open(false, why) == EventQueue::Opened::Ok, "the scratch queue opens");
    EventQueue::Kept kept;
    const bool accepted = queue.read(folder, kept, why);
    require(accepted || !why.isEmpty(), "a refusal says why");
    require(contents(queueDir + QStringLiteral("/outside")) == outsideBytes, "nothing outside the entry is touched");
    require(QDir(entryDir).entryList(QDir::Files) == QStringList({QStringLiteral("entry.json"), QStringLiteral("part-0"), QStringLiteral("part-1")}),
            "the entry's files are as they were");
    if (!accepted)
        return 0;

    const QueueEntry& entry = kept.entry;
    require(folder.endsWith(QLatin1Char('-') + entry.eventId), "the event id is the folder's");
    require(entry.url.scheme() == QLatin1String("http") || entry.url.scheme() == QLatin1String("https"), "an http(s) url");
    require(entry.attempts >= 0 && entry.attempts <= QueueEntry::maxAttempts, "attempts within bounds");
    require(entry.lastError.size() <= QueueEntry::maxErrorChars, "the error text within bounds");
    require(!entry.parts.isEmpty() && entry.bodies.size() <= QueueEntry::maxBodies, "parts, and at most two bodies");
    for (const FormPart& part : entry.parts) {
        require(!part.name.isEmpty() && !hasControl(part.name) && !hasControl(part.fileName) && !hasControl(part.contentType),
                "no control character in a part's headers");
    }
    for (const QueueEntry::StoredBody& body : entry.bodies) {
        const FormPart& part = entry.parts.at(body.part);
        require(part.bodyDevice && part.bodyFile == entryDir + QStringLiteral("/part-") + QString::number(body.part),
                "a body is the entry's own part file");
        require(part.bodyDevice->readAll() == contents(part.bodyFile), "the body sent is the file kept");
    }
    // What is written back reads back the same.
    QueueEntry again;
    require(QueueEntry::fromJson(entry.toJson(), folder, again, why) && again.toJson() == entry.toJson(), "a round trip");
    return 0;
}
