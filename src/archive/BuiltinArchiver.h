#ifndef BUILTINARCHIVER_H
#define BUILTINARCHIVER_H

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <optional>

#include "support/Outcome.h"
#include "zip/ParallelDeflate.h"
#include "zip/ZipNames.h"
#include "zip/ZipWriter.h"

class ProgressLine;

// The archive step without 7z: the same archive at the same path, with the
// entries 7z would make for the same inputs, each file deflated on every CPU
// the process may use. Prints one line, the archive and its size, or the
// failure as 7z's would be printed.
class BuiltinArchiver {
public:
    // zipLevel 0 (store) to 9, or -1 for the default.
    BuiltinArchiver(QStringList files, int zipLevel);

    // Work done while the archive is written, on this thread: it is given whether the writing
    // is over (the file then holds all it will, a whole archive or not), and the archive file
    // exists from the start, written front to back: a byte once written stays.
    using Meanwhile = std::function<void(const std::function<bool()>& writingOver)>;

    // Makes archivePath; meanwhile is called once the inputs are listed, for
    // work that can use the time, and the event loop runs while the archive is
    // written. The failure, or nothing.
    std::optional<Outcome> run(const QString& archivePath, ProgressLine& progress, const Meanwhile& meanwhile);

private:
    // write() on a thread of its own, while this one calls meanwhile and runs the event loop.
    std::optional<QString> writeMeanwhile(int archiveFd, const std::vector<ZipNames::Item>& items, ProgressLine& progress,
                                          const Meanwhile& meanwhile);
    std::optional<QString> write(int archiveFd, const std::vector<ZipNames::Item>& items);
    std::optional<QString> addFile(ZipWriter& zip, const ZipNames::Item& item);
    // A file of more than one block, through the zip's data descriptor; an empty message: read's own failure.
    std::optional<QString> stream(ZipWriter& zip, const ZipWriter::Entry& entry, bool large,
                                  const ParallelDeflate::Reader& again);

    QStringList files;
    int level;
    ParallelDeflate::Shape blocks;  // for the CPUs this process may use, within the memory bound
    std::atomic<qint64> readBytes{0};  // by the writer's thread, for the progress line
    qint64 totalBytes = 0;
    QElapsedTimer clock;
};

#endif
