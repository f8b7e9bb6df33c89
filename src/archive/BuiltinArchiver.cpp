#include "archive/BuiltinArchiver.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#include <utility>

#include "archive/Archiver.h"
#include "support/Interruption.h"
#include "support/PosixFiles.h"
#include "support/ProgressLine.h"
#include "support/console.h"
#include "zip/Deflate.h"
#include "zip/ZipWriter.h"

namespace {
// Blocks in flight, with the rest of the program, stay under 64 MiB.
const qint64 block_budget = 32 << 20;
// An entry that may pass 4 GiB while it is read gets ZIP64 sizes from the start.
const qint64 large_entry = qint64(1) << 31;

int usableCpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return std::max(1, CPU_COUNT(&set));
}

// The archive's folders that are missing, made as 7z makes them: private to the user.
void makeFolders(const QByteArray& archivePath)
{
    for (int slash = archivePath.indexOf('/', 1); slash > 0; slash = archivePath.indexOf('/', slash + 1))
        if (mkdir(archivePath.left(slash).constData(), 0700) != 0 && errno != EEXIST)
            return;  // the archive's own open says what is wrong
}
}

BuiltinArchiver::BuiltinArchiver(QStringList files, int zipLevel)
    : files(std::move(files))
    , level(zipLevel < 0 ? Deflate::defaultLevel : zipLevel)
    , blocks(ParallelDeflate::shapeFor(usableCpus(), block_budget))
{
}

std::optional<Outcome> BuiltinArchiver::run(const QString& archivePath, ProgressLine& progress,
                                            const Meanwhile& meanwhile)
{
    clock.start();
    // Named from the paths as 7z is given them, so that the names are 7z's.
    QStringList paths;
    for (const QString& file : qAsConst(files))
        paths.append(Archiver::pathArgument(file));
    std::vector<ZipNames::Item> items;
    std::optional<QString> failed = ZipNames::list(paths, items);
    struct stat written = {};
    if (!failed) {
        for (const ZipNames::Item& item : items)
            totalBytes += S_ISREG(item.mode) ? item.size : 0;
        // A new file, never one that is there: the event id is new.
        const QByteArray path = QFile::encodeName(archivePath);
        makeFolders(path);
        PosixFiles::Fd archive(::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        failed = archive.isOpen() ? writeMeanwhile(archive.get(), items, progress, meanwhile)
                                  : ZipNames::failedOn(path, PosixFiles::errnoText());
        if (!failed && (fstat(archive.get(), &written) != 0 || ::close(archive.release()) != 0))
            failed = ZipNames::failedOn(path, PosixFiles::errnoText());
    }
    progress.clear();
    if (const int signal = Interruption::received()) {
        const Outcome stopped = Outcome::interrupted(signal);
        Console::err(toConsole(stopped.text));
        return stopped;
    }
    if (failed) {
        const Outcome outcome = Outcome::local(QStringLiteral("Fail to zip! \n\t Message: \n") + *failed);
        Console::err(toConsole(outcome.text));
        return outcome;
    }
    Console::out("Creating archive: " + toConsole(archivePath) + " (" + std::to_string(written.st_size) + " bytes)");
    return std::nullopt;
}

std::optional<QString> BuiltinArchiver::writeMeanwhile(int archiveFd, const std::vector<ZipNames::Item>& items,
                                                       ProgressLine& progress, const Meanwhile& meanwhile)
{
    // The archive is written on a thread of its own, and this one is left to the event
    // loop: the work begun meanwhile (the upload's connection) goes on beside it.
    QEventLoop loop;
    std::optional<QString> failed;
    std::atomic<bool> over{false};
    std::thread writer([&] {
        failed = write(archiveFd, items);
        over = true;
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (progress.isOn())
            progress.archiving(readBytes, totalBytes, clock.elapsed());
    });
    tick.start(100);
    if (meanwhile)
        meanwhile([&over] { return over.load(); });
    Interruption::endsLoop(loop);
    // A quit that meanwhile's own event loops took before this one ran is lost: the writer
    // said it was over first, and nothing is left to wait for.
    if (!over)
        loop.exec();
    writer.join();  // a signal ends the writer at its next read
    return failed;
}

std::optional<QString> BuiltinArchiver::write(int archiveFd, const std::vector<ZipNames::Item>& items)
{
    ZipWriter zip(archiveFd);
    for (const ZipNames::Item& item : items) {
        const ZipWriter::Entry entry{item.name, std::uint32_t(item.mode), item.mtime};
        if (S_ISREG(item.mode)) {
            if (std::optional<QString> failed = addFile(zip, item))
                return failed;
        } else if (S_ISLNK(item.mode)) {
            // A link goes in as a link, its target its data: never followed.
            QByteArray target(4096, Qt::Uninitialized);
            const ssize_t length = readlink(item.path.constData(), target.data(), std::size_t(target.size()));
            if (length < 0)
                return ZipNames::failedOn(item.path, PosixFiles::errnoText());
            target.truncate(int(length));
            if (!zip.add(entry, ZipWriter::Method::Stored, Deflate::crc32(0, target.constData(), std::size_t(length)),
                         std::uint64_t(length), target))
                return zip.error();
        } else if (!zip.add(entry, ZipWriter::Method::Stored, 0, 0, QByteArray())) {
            // A folder, and a FIFO or a device as an entry of its own: never opened, a FIFO would block.
            return zip.error();
        }
        if (Interruption::received())
            return QString();
    }
    return zip.finish() ? std::nullopt : std::optional<QString>(zip.error());
}

std::optional<QString> BuiltinArchiver::addFile(ZipWriter& zip, const ZipNames::Item& item)
{
    QString why;
    struct stat info = {};
    PosixFiles::Fd file = PosixFiles::openRegular(AT_FDCWD, item.path, why, &info);
    if (!file.isOpen())
        return ZipNames::failedOn(item.path, why);
    if (info.st_dev != item.device || info.st_ino != item.inode)
        return ZipNames::failedOn(item.path, QStringLiteral("replaced while the archive was written"));
    const ZipWriter::Entry entry{item.name, std::uint32_t(info.st_mode), info.st_mtime};
    std::optional<QString> readFailure;
    const ParallelDeflate::Reader read = [&](char* data, qint64 size) -> qint64 {
        qint64 got = 0;
        while (got < size) {
            if (Interruption::received())
                return -1;
            const ssize_t n = ::read(file.get(), data + got, std::size_t(size - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                readFailure = ZipNames::failedOn(item.path, PosixFiles::errnoText());
                return -1;
            }
            if (n == 0)
                break;
            got += n;
        }
        readBytes += got;
        return got;
    };
    // A file of one block is deflated whole first: stored when deflate does not make it smaller, as 7z does.
    QByteArray first(blocks.blockBytes, Qt::Uninitialized);
    const qint64 firstBytes = read(first.data(), first.size());
    if (firstBytes < 0)
        return readFailure.value_or(QString());
    first.truncate(int(firstBytes));
    char probe = 0;
    const qint64 more = firstBytes < blocks.blockBytes ? 0 : read(&probe, 1);
    if (more < 0)
        return readFailure.value_or(QString());
    if (more == 0) {
        const std::uint32_t crc = Deflate::crc32(0, first.constData(), std::size_t(first.size()));
        const QByteArray deflated = level == 0 || first.isEmpty()
            ? QByteArray()
            : Deflate::block(level, QByteArray(), first.constData(), first.size(), true);
        const bool store = deflated.isEmpty() || deflated.size() >= first.size();
        const bool ok = zip.add(entry, store ? ZipWriter::Method::Stored : ZipWriter::Method::Deflated, crc,
                                std::uint64_t(first.size()), store ? first : deflated);
        return ok ? std::nullopt : std::optional<QString>(zip.error());
    }
    // Larger: streamed, the first block and the byte after it given again first.
    QByteArray pending = first + probe;
    const ParallelDeflate::Reader again = [&](char* data, qint64 size) -> qint64 {
        if (pending.isEmpty())
            return read(data, size);
        const qint64 n = std::min<qint64>(size, pending.size());
        memcpy(data, pending.constData(), std::size_t(n));
        pending.remove(0, int(n));
        return n;
    };
    std::optional<QString> failed = stream(zip, entry, info.st_size >= large_entry, again);
    if (failed && failed->isEmpty())
        return readFailure.value_or(QString());
    return failed;
}

std::optional<QString> BuiltinArchiver::stream(ZipWriter& zip, const ZipWriter::Entry& entry, bool large,
                                               const ParallelDeflate::Reader& again)
{
    if (!zip.begin(entry, level == 0 ? ZipWriter::Method::Stored : ZipWriter::Method::Deflated, large))
        return zip.error();
    ParallelDeflate::Totals totals;
    std::optional<QString> failed;
    if (level == 0) {
        QByteArray buffer(blocks.blockBytes, Qt::Uninitialized);
        for (;;) {
            const qint64 n = again(buffer.data(), buffer.size());
            if (n <= 0) {
                failed = n < 0 ? std::optional<QString>(QString()) : std::nullopt;
                break;
            }
            totals.crc = Deflate::crc32(totals.crc, buffer.constData(), std::size_t(n));
            totals.in += std::uint64_t(n);
            if (!zip.write(buffer.left(int(n)))) {
                failed = zip.error();
                break;
            }
        }
    } else {
        ParallelDeflate deflate(level, blocks);
        failed = deflate.run(again, [&zip](const QByteArray& piece) { return zip.write(piece); }, totals);
        if (failed && failed->isEmpty() && !zip.error().isEmpty())
            failed = zip.error();
    }
    if (failed)
        return failed;  // empty: the reader's own failure
    return zip.end(totals.crc, totals.in) ? std::nullopt : std::optional<QString>(zip.error());
}
