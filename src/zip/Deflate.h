#ifndef DEFLATE_H
#define DEFLATE_H

#include <QByteArray>

#include <cstdint>

// Raw deflate in independent blocks that can be joined end to end, as a
// parallel compressor needs them: each block is primed with the 32 KiB of
// input before it and ends on a byte boundary; only the last one ends the
// stream. Levels 1 and 2 are ISA-L's (several times faster than zlib's
// fastest, for a slightly larger archive), 3 to 9 zlib's.
namespace Deflate {

constexpr int dictionaryBytes = 32 * 1024;
constexpr int defaultLevel = 6;  // within 1 % of 7z's default archive, in a fraction of its time

// The deflated block; empty only when the library failed.
QByteArray block(int level, const QByteArray& dictionary, const char* data, int size, bool last);

// CRC-32 as in zip and gzip.
std::uint32_t crc32(std::uint32_t crc, const char* data, std::size_t size);
// The CRC-32 of A followed by B, from their CRC-32s and B's length.
std::uint32_t crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t sizeB);

}

#endif
