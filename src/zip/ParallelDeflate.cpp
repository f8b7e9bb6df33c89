#include "zip/ParallelDeflate.h"

#include <algorithm>
#include <utility>

#include "zip/Deflate.h"

ParallelDeflate::Shape ParallelDeflate::shapeFor(int cpus, qint64 budgetBytes)
{
    Shape shape;
    shape.threads = std::max(1, cpus);
    shape.window = 2 * shape.threads;
    // A block in memory costs its input and its output: about twice its size.
    const qint64 fits = budgetBytes / (2 * qint64(shape.window));
    shape.blockBytes = int(std::clamp<qint64>(fits, qint64(128) * 1024, qint64(1) << 20));
    // Past the budget, fewer blocks in flight rather than ever smaller ones.
    shape.window = int(std::max<qint64>(2, std::min<qint64>(shape.window, budgetBytes / (2 * qint64(shape.blockBytes)))));
    shape.threads = std::min(shape.threads, shape.window);
    return shape;
}

ParallelDeflate::ParallelDeflate(int level, Shape shape)
    : level(level)
    , shape(shape)
{
    for (int i = 0; i < shape.threads; ++i)
        workers.emplace_back([this] { work(); });
}

ParallelDeflate::~ParallelDeflate()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        tasks.clear();  // blocks of a run that stopped early
    }
    wake.notify_all();
    for (std::thread& worker : workers)
        worker.join();
}

void ParallelDeflate::work()
{
    for (;;) {
        std::packaged_task<Done()> task;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return stopping || !tasks.empty(); });
            if (tasks.empty())
                return;
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        task();
    }
}

std::future<ParallelDeflate::Done> ParallelDeflate::submit(QByteArray dictionary, QByteArray data, bool last)
{
    const int blockLevel = level;
    std::packaged_task<Done()> task([blockLevel, dictionary = std::move(dictionary), data = std::move(data), last] {
        Done done;
        done.size = data.size();
        done.crc = Deflate::crc32(0, data.constData(), std::size_t(data.size()));
        done.deflated = Deflate::block(blockLevel, dictionary, data.constData(), data.size(), last);
        return done;
    });
    std::future<Done> result = task.get_future();
    {
        const std::lock_guard<std::mutex> lock(mutex);
        tasks.push_back(std::move(task));
    }
    wake.notify_one();
    return result;
}

std::optional<QString> ParallelDeflate::run(const Reader& read, const Writer& write, Totals& totals)
{
    totals = Totals();
    std::deque<std::future<Done>> inFlight;
    // Joins the oldest block to the stream.
    auto writeOldest = [&]() -> std::optional<QString> {
        const Done done = inFlight.front().get();
        inFlight.pop_front();
        if (done.deflated.isEmpty())
            return QStringLiteral("deflate failed");
        totals.crc = Deflate::crc32Combine(totals.crc, done.crc, std::uint64_t(done.size));
        totals.in += std::uint64_t(done.size);
        totals.out += std::uint64_t(done.deflated.size());
        if (!write(done.deflated))
            return QString();
        return std::nullopt;
    };
    // The next block is read before this one goes, so that the last is known as last.
    QByteArray next(shape.blockBytes, Qt::Uninitialized);
    qint64 got = read(next.data(), next.size());
    QByteArray dictionary;
    while (got >= 0) {
        QByteArray current = std::move(next);
        current.truncate(int(got));
        next = QByteArray(shape.blockBytes, Qt::Uninitialized);
        got = current.isEmpty() ? 0 : read(next.data(), next.size());
        if (got < 0)
            break;
        const bool last = got == 0;
        QByteArray tail = current.right(Deflate::dictionaryBytes);
        inFlight.push_back(submit(dictionary, current, last));
        dictionary = std::move(tail);
        if (last) {
            while (!inFlight.empty())
                if (std::optional<QString> stopped = writeOldest())
                    return stopped;
            return std::nullopt;
        }
        if (int(inFlight.size()) >= shape.window)
            if (std::optional<QString> stopped = writeOldest())
                return stopped;  // the blocks still in flight end with the tasks
    }
    return QString();  // the reader failed, and says why
}
