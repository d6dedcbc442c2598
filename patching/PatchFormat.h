// The patch container: a 24-byte header ("PTCH", header word, source hash, result hash) and
// records (offset, old length, new length, new bytes), all little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/Status.h"

namespace qdt {

// The largest patch we download, cache or read; anything larger is refused before it is read.
constexpr std::uint64_t kMaxPatchSize = std::uint64_t(1) << 30;

constexpr std::size_t kPatchHeaderSize = 24;
constexpr std::size_t kPatchRecordHeadSize = 24;

struct PatchHeader
{
    std::array<unsigned char, 4> headerWord{}; // copied, never interpreted
    std::uint64_t sourceHash = 0;              // archive hash before
    std::uint64_t resultHash = 0;              // archive hash after
};

// Reads the header. BadMagic when the data does not start with "PTCH" (also when shorter than 4
// bytes), Malformed when it starts so but is shorter than the header.
Result<PatchHeader> readPatchHeader(const unsigned char* data, std::size_t size);

// One record as stored. `data` points into the patch bytes (newLength bytes).
struct PatchRecord
{
    std::int64_t offset = 0;
    std::int64_t oldLength = 0;
    std::int64_t newLength = 0;
    const unsigned char* data = nullptr;
};

// Walks the records of a patch whose structure has been checked with checkPatch.
class PatchRecordReader
{
public:
    PatchRecordReader(const unsigned char* data, std::size_t size)
        : data_(data), size_(size), pos_(kPatchHeaderSize)
    {
    }
    // False at the end of the patch or at the first record that does not fit (never reads past
    // `size`).
    bool next(PatchRecord& record);
    std::size_t position() const { return pos_; }

private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t pos_;
};

// What a well-formed patch does.
struct PatchSummary
{
    PatchHeader header;
    std::uint64_t recordCount = 0;
    std::uint64_t bytesReplaced = 0;     // sum of old lengths
    std::uint64_t bytesInserted = 0;     // sum of new lengths
    std::uint64_t minimumSourceSize = 0; // the end of the last replaced range
};

// Checks the whole structure: the header, every record complete, no negative length or offset,
// no arithmetic overflow, records in ascending order without overlapping ranges. With
// `sourceSize` >= 0 every range must also lie inside a source of that size. Malformed (with the
// record's number and byte position) or BadMagic otherwise.
Result<PatchSummary> checkPatch(const unsigned char* data, std::size_t size,
                                std::int64_t sourceSize = -1);

// The size of the content the patch produces from a source of `sourceSize` bytes.
std::uint64_t resultSize(const PatchSummary& summary, std::uint64_t sourceSize);

// Little-endian helpers shared by the writer of reverse patches.
void appendLe64(std::vector<unsigned char>& out, std::uint64_t value);
std::uint64_t readLe64(const unsigned char* p);

} // namespace qdt
