#include "zip/ZipWriter.h"

#include <sys/stat.h>

#include <algorithm>

#include "support/PosixFiles.h"

namespace {

const int flush_bytes = 1 << 20;
const std::uint16_t made_by = (3 << 8) | 63;  // Unix, zip 6.3: as 7z writes it
const std::uint16_t descriptor_follows = 1 << 3;
const std::uint16_t utf8_name = 1 << 11;
const std::uint32_t unix_attributes = 0x8000;  // the high 16 bits hold st_mode
const std::uint32_t dos_folder = 0x10;
const std::uint32_t dos_archive = 0x20;

void le16(QByteArray& out, std::uint64_t value)
{
    out += char(value & 0xFF);
    out += char((value >> 8) & 0xFF);
}

void le32(QByteArray& out, std::uint64_t value)
{
    le16(out, value & 0xFFFF);
    le16(out, (value >> 16) & 0xFFFF);
}

void le64(QByteArray& out, std::uint64_t value)
{
    le32(out, value & 0xFFFFFFFFu);
    le32(out, value >> 32);
}

std::uint32_t dosTime(std::time_t time)
{
    struct tm local = {};
    if (!localtime_r(&time, &local) || local.tm_year < 80)
        return (1 << 5 | 1) << 16;  // 1980-01-01, the earliest zip can say
    const auto date = std::uint32_t((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    return date << 16 | std::uint32_t(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
}

bool isUtf8NotAscii(const QByteArray& name)
{
    bool ascii = true;
    for (const char c : name)
        ascii = ascii && uchar(c) < 0x80;
    if (ascii)
        return false;
    return QString::fromUtf8(name).toUtf8() == name && !name.contains('\0');
}

std::uint16_t needed(bool zip64, std::uint16_t method, bool folder)
{
    if (zip64)
        return 45;
    return method == 8 || folder ? 20 : 10;
}

}

ZipWriter::ZipWriter(int fd, std::uint64_t start)
    : fd(fd)
    , start(start)
    , offset(start)
{
}

bool ZipWriter::header(const Entry& entry, Method method, std::uint16_t flags, std::uint32_t crc,
                       std::uint64_t compressed, std::uint64_t size, bool large)
{
    if (entry.name.size() > 0xFFFF) {
        failure = QStringLiteral("a name longer than zip allows");
        return false;
    }
    if (isUtf8NotAscii(entry.name))
        flags |= utf8_name;
    const bool folder = S_ISDIR(entry.mode);
    entries.push_back({entry.name, entry.mode, dosTime(entry.mtime), std::uint16_t(method), flags, crc, compressed,
                       size, offset, large});
    QByteArray local;
    le32(local, 0x04034b50);
    le16(local, needed(large, std::uint16_t(method), folder));
    le16(local, flags);
    le16(local, std::uint16_t(method));
    le32(local, entries.back().dosTime);
    le32(local, crc);
    le32(local, large ? max32 : compressed);
    le32(local, large ? max32 : size);
    le16(local, std::uint64_t(entry.name.size()));
    le16(local, large ? 20 : 0);
    local += entry.name;
    if (large) {  // the sizes come in the data descriptor, 8 bytes each
        le16(local, 0x0001);
        le16(local, 16);
        le64(local, 0);
        le64(local, 0);
    }
    return put(local);
}

bool ZipWriter::add(const Entry& entry, Method method, std::uint32_t crc, std::uint64_t size, const QByteArray& data)
{
    return header(entry, method, 0, crc, std::uint64_t(data.size()), size, false) && put(data);
}

bool ZipWriter::begin(const Entry& entry, Method method, bool large)
{
    const bool ok = header(entry, method, descriptor_follows, 0, 0, 0, large);
    dataStart = offset;
    return ok;
}

bool ZipWriter::write(const QByteArray& piece)
{
    return put(piece);
}

bool ZipWriter::end(std::uint32_t crc, std::uint64_t size)
{
    Central& entry = entries.back();
    entry.crc = crc;
    entry.size = size;
    entry.compressed = offset - dataStart;
    if (!entry.large && (entry.compressed > max32 || size > max32)) {
        failure = QStringLiteral("a file grew past 4 GiB while it was read");
        return false;
    }
    QByteArray descriptor;
    le32(descriptor, 0x08074b50);
    le32(descriptor, crc);
    if (entry.large) {
        le64(descriptor, entry.compressed);
        le64(descriptor, size);
    } else {
        le32(descriptor, entry.compressed);
        le32(descriptor, size);
    }
    return put(descriptor);
}

bool ZipWriter::finish()
{
    const std::uint64_t directoryStart = offset;
    for (const Central& entry : entries) {
        const bool bigSizes = entry.large || entry.compressed > max32 || entry.size > max32;
        const bool bigOffset = entry.offset >= max32;
        QByteArray extra;
        if (bigSizes || bigOffset) {
            le16(extra, 0x0001);
            le16(extra, (bigSizes ? 16 : 0) + (bigOffset ? 8 : 0));
            if (bigSizes) {
                le64(extra, entry.size);
                le64(extra, entry.compressed);
            }
            if (bigOffset)
                le64(extra, entry.offset);
        }
        const bool folder = S_ISDIR(entry.mode);
        QByteArray record;
        le32(record, 0x02014b50);
        le16(record, made_by);
        le16(record, needed(bigSizes || bigOffset, entry.method, folder));
        le16(record, entry.flags);
        le16(record, entry.method);
        le32(record, entry.dosTime);
        le32(record, entry.crc);
        le32(record, bigSizes ? max32 : entry.compressed);
        le32(record, bigSizes ? max32 : entry.size);
        le16(record, std::uint64_t(entry.name.size()));
        le16(record, std::uint64_t(extra.size()));
        le16(record, 0);  // comment
        le16(record, 0);  // disk
        le16(record, 0);  // internal attributes
        le32(record, std::uint64_t(entry.mode) << 16 | unix_attributes | (folder ? dos_folder : dos_archive));
        le32(record, bigOffset ? max32 : entry.offset);
        record += entry.name;
        record += extra;
        if (!put(record))
            return false;
    }
    const std::uint64_t count = entries.size();
    const std::uint64_t directoryBytes = offset - directoryStart;
    QByteArray records;
    if (count >= 0xFFFF || directoryStart >= max32 || directoryBytes >= max32) {
        const std::uint64_t zip64End = offset;
        le32(records, 0x06064b50);
        le64(records, 44);
        le16(records, made_by);
        le16(records, 45);
        le32(records, 0);
        le32(records, 0);
        le64(records, count);
        le64(records, count);
        le64(records, directoryBytes);
        le64(records, directoryStart);
        le32(records, 0x07064b50);  // its locator
        le32(records, 0);
        le64(records, zip64End);
        le32(records, 1);
    }
    le32(records, 0x06054b50);
    le16(records, 0);
    le16(records, 0);
    le16(records, std::min<std::uint64_t>(count, 0xFFFF));
    le16(records, std::min<std::uint64_t>(count, 0xFFFF));
    le32(records, std::min<std::uint64_t>(directoryBytes, max32));
    le32(records, std::min<std::uint64_t>(directoryStart, max32));
    le16(records, 0);
    return put(records) && flush();
}

bool ZipWriter::put(const QByteArray& bytes)
{
    offset += std::uint64_t(bytes.size());
    if (buffer.size() + bytes.size() < flush_bytes) {
        buffer += bytes;
        return true;
    }
    return flush() && (bytes.size() < flush_bytes ? (buffer = bytes, true) : writeOut(bytes));
}

bool ZipWriter::flush()
{
    if (buffer.isEmpty())
        return true;
    const bool ok = writeOut(buffer);
    buffer.clear();
    return ok;
}

bool ZipWriter::writeOut(const QByteArray& bytes)
{
    if (PosixFiles::writeAll(fd, bytes.constData(), bytes.size()))
        return true;
    failure = PosixFiles::errnoText();
    return false;
}
