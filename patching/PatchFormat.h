// The patch container: a 24-byte header ("PTCH", header word, source hash, result hash) and
// records (offset, old length, new length, new bytes), all little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/Status.h"

namespace qdt {

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

} // namespace qdt
