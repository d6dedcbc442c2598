// Reading and checking patch files. Every length is checked against the bytes that remain before
// it is used, so a truncated or hostile file can never make us read past its end.
#include "patching/PatchFormat.h"

#include <cstring>
#include <limits>
#include <string>

namespace qdt {

std::uint64_t readLe64(const unsigned char* p)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void appendLe64(std::vector<unsigned char>& out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

Result<PatchHeader> readPatchHeader(const unsigned char* data, std::size_t size)
{
    using R = Result<PatchHeader>;
    if (size < 4 || data == nullptr || std::memcmp(data, "PTCH", 4) != 0)
        return R::failure(ErrorKind::BadMagic, "the data does not start with \"PTCH\"");
    if (size < kPatchHeaderSize)
        return R::failure(ErrorKind::Malformed, "the patch is " + std::to_string(size) +
                                                    " bytes long, shorter than its " +
                                                    std::to_string(kPatchHeaderSize) +
                                                    "-byte header");
    PatchHeader h;
    std::memcpy(h.headerWord.data(), data + 4, 4);
    h.sourceHash = readLe64(data + 8);
    h.resultHash = readLe64(data + 16);
    return R::success(h);
}

bool PatchRecordReader::next(PatchRecord& record)
{
    if (pos_ >= size_ || size_ - pos_ < kPatchRecordHeadSize)
        return false;
    const unsigned char* p = data_ + pos_;
    const auto newLength = static_cast<std::int64_t>(readLe64(p + 16));
    if (newLength < 0 ||
        static_cast<std::uint64_t>(newLength) > size_ - pos_ - kPatchRecordHeadSize)
        return false;
    record.offset = static_cast<std::int64_t>(readLe64(p));
    record.oldLength = static_cast<std::int64_t>(readLe64(p + 8));
    record.newLength = newLength;
    record.data = p + kPatchRecordHeadSize;
    pos_ += kPatchRecordHeadSize + static_cast<std::size_t>(newLength);
    return true;
}

Result<PatchSummary> checkPatch(const unsigned char* data, std::size_t size,
                                std::int64_t sourceSize)
{
    using R = Result<PatchSummary>;
    auto header = readPatchHeader(data, size);
    if (!header)
        return R::failure(header.status);

    PatchSummary summary;
    summary.header = header.value;
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t previousEnd = 0;
    std::size_t pos = kPatchHeaderSize;
    std::uint64_t number = 0;
    while (pos < size) {
        ++number;
        const std::string where =
            "record " + std::to_string(number) + " at byte " + std::to_string(pos);
        if (size - pos < kPatchRecordHeadSize)
            return R::failure(ErrorKind::Malformed, where + " ends inside its 24-byte head");
        const unsigned char* p = data + pos;
        const auto offset = static_cast<std::int64_t>(readLe64(p));
        const auto oldLength = static_cast<std::int64_t>(readLe64(p + 8));
        const auto newLength = static_cast<std::int64_t>(readLe64(p + 16));
        if (offset < 0 || oldLength < 0 || newLength < 0)
            return R::failure(ErrorKind::Malformed, where + " has a negative offset or length");
        if (static_cast<std::uint64_t>(newLength) > size - pos - kPatchRecordHeadSize)
            return R::failure(ErrorKind::Malformed,
                              where + " announces " + std::to_string(newLength) +
                                  " new bytes but the patch ends before them");
        if (oldLength > kMax - offset)
            return R::failure(ErrorKind::Malformed, where + " has a range that overflows");
        if (offset < previousEnd)
            return R::failure(ErrorKind::Malformed,
                              where + " is out of order or overlaps the record before it");
        const std::int64_t end = offset + oldLength;
        if (sourceSize >= 0 && end > sourceSize)
            return R::failure(ErrorKind::Malformed,
                              where + " replaces bytes " + std::to_string(offset) + " to " +
                                  std::to_string(end) + ", outside the archive of " +
                                  std::to_string(sourceSize) + " bytes");
        previousEnd = end;
        summary.recordCount = number;
        summary.bytesReplaced += static_cast<std::uint64_t>(oldLength);
        summary.bytesInserted += static_cast<std::uint64_t>(newLength);
        pos += kPatchRecordHeadSize + static_cast<std::size_t>(newLength);
    }
    summary.minimumSourceSize = static_cast<std::uint64_t>(previousEnd);
    // The result must stay addressable with signed 64-bit positions. bytesInserted is bounded by
    // the patch size and bytesReplaced by the source size, so this cannot wrap.
    if (sourceSize >= 0 && summary.bytesInserted > static_cast<std::uint64_t>(kMax) -
                                                       static_cast<std::uint64_t>(sourceSize))
        return R::failure(ErrorKind::Malformed, "the patched archive would be too large");
    return R::success(summary);
}

std::uint64_t resultSize(const PatchSummary& summary, std::uint64_t sourceSize)
{
    return sourceSize - summary.bytesReplaced + summary.bytesInserted;
}

} // namespace qdt
