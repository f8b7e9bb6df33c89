#ifndef PARALLELDEFLATE_H
#define PARALLELDEFLATE_H

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// One stream deflated on several threads, as pigz does: the input is cut into
// blocks, each deflated on its own (primed with the 32 KiB before it) and
// ending on a byte boundary, and joined in order; the blocks' CRC-32s are
// combined. At most window blocks are in memory at once, so that memory stays
// bounded whatever the input.
class ParallelDeflate {
public:
    struct Shape {
        int threads = 1;
        int blockBytes = 1 << 20;
        int window = 2;  // blocks read ahead of the one being written
    };
    // The shape for this many CPUs within about budgetBytes of blocks in memory.
    static Shape shapeFor(int cpus, qint64 budgetBytes);

    struct Totals {
        std::uint32_t crc = 0;
        std::uint64_t in = 0;
        std::uint64_t out = 0;
    };
    // Reads up to size bytes into data; the bytes read, 0 at the end, -1 on failure.
    using Reader = std::function<qint64(char* data, qint64 size)>;
    // Takes the next piece of the stream; false stops the run.
    using Writer = std::function<bool(const QByteArray& piece)>;

    ParallelDeflate(int level, Shape shape);
    ~ParallelDeflate();
    ParallelDeflate(const ParallelDeflate&) = delete;
    ParallelDeflate& operator=(const ParallelDeflate&) = delete;

    // Deflates everything read into one stream given to write; the failure (empty when
    // the reader or the writer failed: they know why), or nothing.
    std::optional<QString> run(const Reader& read, const Writer& write, Totals& totals);

private:
    struct Done {
        QByteArray deflated;
        std::uint32_t crc = 0;
        int size = 0;
    };
    std::future<Done> submit(QByteArray dictionary, QByteArray data, bool last);
    void work();

    int level;
    Shape shape;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::packaged_task<Done()>> tasks;
    bool stopping = false;
    std::vector<std::thread> workers;
};

#endif
