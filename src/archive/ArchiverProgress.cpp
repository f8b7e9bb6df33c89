#include "archive/ArchiverProgress.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <sys/stat.h>

ArchiverProgress::ArchiverProgress(const QStringList& inputs)
{
    for (const QString& path : inputs) {
        struct stat info {};
        if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        Input input;
        input.device = info.st_dev;
        input.inode = info.st_ino;
        input.size = info.st_size;
        files.push_back(input);
        totalBytes += info.st_size;
    }
}

qint64 ArchiverProgress::read(qint64 pid)
{
#if defined(__linux__)
    const QString fdDir = QStringLiteral("/proc/%1/fd/").arg(pid);
    std::vector<bool> open(files.size(), false);
    for (const QString& fd : QDir(fdDir).entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files)) {
        struct stat info {};
        if (::stat(QFile::encodeName(fdDir + fd).constData(), &info) != 0)
            continue;
        for (size_t i = 0; i < files.size(); ++i) {
            if (files[i].device != info.st_dev || files[i].inode != info.st_ino)
                continue;
            QFile fdinfo(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid).arg(fd));
            if (fdinfo.open(QIODevice::ReadOnly)) {
                const QByteArray line = fdinfo.readLine();  // "pos:\t12345"
                if (line.startsWith("pos:"))
                    files[i].done = std::max(files[i].done, line.mid(4).trimmed().toLongLong());
            }
            files[i].seen = open[i] = true;
        }
    }
    // One that was open and is closed again has been read whole.
    for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].seen && !open[i])
            files[i].done = files[i].size;
    }
#else
    (void)pid;
#endif
    qint64 sum = 0;
    for (const Input& input : files)
        sum += std::min(input.done, input.size);
    return sum;
}
