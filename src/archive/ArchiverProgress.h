#ifndef ARCHIVERPROGRESS_H
#define ARCHIVERPROGRESS_H

#include <QStringList>

#include <vector>

// How much of its input files the archiver has read, from the kernel's view
// of its open files (/proc/PID/fdinfo): 7z writes the archive late, so the
// archive's size says little until the end. Linux only; elsewhere, nothing
// is ever read.
class ArchiverProgress {
public:
    explicit ArchiverProgress(const QStringList& inputs);

    // The bytes of the inputs that the process pid has read so far: the
    // position in each input it has open, all of one it has closed again.
    qint64 read(qint64 pid);
    qint64 total() const { return totalBytes; }

private:
    struct Input {
        unsigned long long device = 0;
        unsigned long long inode = 0;
        qint64 size = 0;
        qint64 done = 0;
        bool seen = false;
    };
    std::vector<Input> files;
    qint64 totalBytes = 0;
};

#endif
