#ifndef ZIPWRITER_H
#define ZIPWRITER_H

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <ctime>
#include <vector>

// A zip archive written front to back in one pass to a descriptor: each
// entry's local header, its data and, where its size is not known before its
// data, a data descriptor; then the central directory. ZIP64 records where a
// size, an offset or the number of entries needs them. Names are bytes as
// the file system gives them, flagged UTF-8 when they are UTF-8 and not ASCII.
class ZipWriter {
public:
    enum class Method : std::uint16_t { Stored = 0, Deflated = 8 };
    struct Entry {
        QByteArray name;          // folders end in '/'
        std::uint32_t mode = 0;   // st_mode
        std::time_t mtime = 0;
    };

    // start: where the archive begins in the output (0 but in tests).
    explicit ZipWriter(int fd, std::uint64_t start = 0);

    // An entry whose data is all here: a folder, a link, a small file.
    bool add(const Entry& entry, Method method, std::uint32_t crc, std::uint64_t size, const QByteArray& data);
    // An entry whose data comes in pieces; large: it may pass 4 GiB.
    bool begin(const Entry& entry, Method method, bool large);
    bool write(const QByteArray& piece);
    bool end(std::uint32_t crc, std::uint64_t size);
    // The central directory and the end records; the archive is complete once this returns true.
    bool finish();

    std::uint64_t bytesWritten() const { return offset - start; }
    // What went wrong, after a false.
    QString error() const { return failure; }

    static constexpr std::uint64_t max32 = 0xFFFFFFFFu;

private:
    struct Central {
        QByteArray name;
        std::uint32_t mode;
        std::uint32_t dosTime;
        std::uint16_t method;
        std::uint16_t flags;
        std::uint32_t crc;
        std::uint64_t compressed;
        std::uint64_t size;
        std::uint64_t offset;
        bool large;
    };
    bool header(const Entry& entry, Method method, std::uint16_t flags, std::uint32_t crc, std::uint64_t compressed,
                std::uint64_t size, bool large);
    bool put(const QByteArray& bytes);
    bool flush();
    bool writeOut(const QByteArray& bytes);

    int fd;
    std::uint64_t start;
    std::uint64_t offset;
    std::uint64_t dataStart = 0;  // where the streamed entry's data began
    QByteArray buffer;
    std::vector<Central> entries;
    QString failure;
};

#endif
