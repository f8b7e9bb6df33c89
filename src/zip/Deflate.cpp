#include "zip/Deflate.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// A block never grows by more than a stored block's few bytes per 64 KiB.
int bound(int size)
{
    return size + size / 1000 + 1024;
}

QByteArray isal(int level, const QByteArray& dictionary, const char* data, int size, bool last)
{
    isal_zstream stream;
    isal_deflate_init(&stream);
    std::vector<std::uint8_t> levelBuffer(level == 1 ? ISAL_DEF_LVL1_DEFAULT : ISAL_DEF_LVL2_DEFAULT);
    stream.level = level;
    stream.level_buf = levelBuffer.data();
    stream.level_buf_size = std::uint32_t(levelBuffer.size());
    stream.gzip_flag = IGZIP_DEFLATE;
    stream.flush = FULL_FLUSH;
    stream.end_of_stream = last ? 1 : 0;
    if (!dictionary.isEmpty()
        && isal_deflate_set_dict(&stream, reinterpret_cast<std::uint8_t*>(const_cast<char*>(dictionary.data())),
                                 std::uint32_t(dictionary.size()))
            != COMP_OK)
        return {};
    QByteArray out(bound(size), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(data));
    stream.avail_in = std::uint32_t(size);
    stream.next_out = reinterpret_cast<std::uint8_t*>(out.data());
    stream.avail_out = std::uint32_t(out.size());
    if (isal_deflate(&stream) != COMP_OK || stream.avail_in != 0 || (last && stream.internal_state.state != ZSTATE_END))
        return {};
    out.truncate(int(stream.total_out));
    return out;
}

QByteArray zlib(int level, const QByteArray& dictionary, const char* data, int size, bool last)
{
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    // Negative window bits: raw deflate, as zip holds it.
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(bound(size), Qt::Uninitialized);
    bool ok = dictionary.isEmpty()
        || deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(dictionary.constData()), uInt(dictionary.size()))
            == Z_OK;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream.avail_in = uInt(size);
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    // A full flush ends the block on a byte boundary; Z_FINISH ends the stream.
    const int result = ok ? deflate(&stream, last ? Z_FINISH : Z_FULL_FLUSH) : Z_STREAM_ERROR;
    ok = (last ? result == Z_STREAM_END : result == Z_OK) && stream.avail_in == 0;
    out.truncate(int(stream.total_out));
    deflateEnd(&stream);
    return ok ? out : QByteArray();
}

// Whether ISA-L's fastest level finds nothing to take out of these bytes (compressed or
// encrypted already, random), first in a sample of them: zlib would search them for matches
// at its full cost, only to store them.
bool beyondDeflate(const QByteArray& dictionary, const char* data, int size, bool last)
{
    constexpr int sampleBytes = 32 * 1024;
    const int sample = std::min(size, sampleBytes);
    if (sample == 0 || isal(1, dictionary, data, sample, false).size() < sample)
        return false;
    return sample == size || isal(1, dictionary, data, size, last).size() >= size;
}

}

QByteArray Deflate::block(int level, const QByteArray& dictionary, const char* data, int size, bool last)
{
    if (level <= 2)
        return isal(level < 1 ? 1 : level, dictionary, data, size, last);
    // Stored blocks, as zlib's own search would end in them, in a few per cent of its time.
    if (beyondDeflate(dictionary, data, size, last))
        return zlib(0, QByteArray(), data, size, last);
    return zlib(level > 9 ? 9 : level, dictionary, data, size, last);
}

std::uint32_t Deflate::crc32(std::uint32_t crc, const char* data, std::size_t size)
{
    // ISA-L's runs at memory speed; zlib's would take a second a gigabyte.
    return crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(data), std::uint64_t(size));
}

std::uint32_t Deflate::crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t sizeB)
{
    return std::uint32_t(crc32_combine64(crcA, crcB, z_off64_t(sizeB)));
}
