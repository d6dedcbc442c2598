// The publisher's side of the patch format: a forward patch from two archives, made in one
// streaming pass over both with memory bounded by fixed windows, whatever their sizes.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>

#include "core/Status.h"
#include "patching/PatchEngine.h"

namespace qdt {

struct MakeRequest
{
    std::filesystem::path original;   // the archive players have
    std::filesystem::path translated; // the archive they should get
    std::filesystem::path output;     // the patch file, replaced whole in one step
    std::array<unsigned char, 4> headerWord{};
    std::uint64_t maxPatchSize = kMaxPatchSize; // a larger patch is refused, not written
    ProgressFunction progress;                  // bytes of the translated archive done
};

struct MakeSummary
{
    std::uint64_t patchSize = 0;
    std::uint64_t recordCount = 0;
    std::uint64_t bytesReplaced = 0; // sum of old lengths
    std::uint64_t bytesInserted = 0; // sum of new lengths
    std::uint64_t sourceHash = 0;
    std::uint64_t resultHash = 0;
};

// Writes the forward patch that turns `original` into `translated`. Content that a change only
// shifted counts as unchanged: records stand where bytes really differ, insertions and deletions
// as such, and records closer together than a record's head are joined. Where no common content
// is found within a bounded distance, a bounded block is replaced.
// The patch is written to a temporary file beside `output`, flushed and renamed, so that a stopped
// run never leaves part of a patch under that name. Refused (nothing written) when either input is
// missing or not a regular file, when `output` names either input (by any spelling or link),
// when an input changes while it is read, and when the patch would exceed `maxPatchSize`
// (Unsupported).
Result<MakeSummary> makePatchFile(const MakeRequest& request);

} // namespace qdt
