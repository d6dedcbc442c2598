// Writing a verified result into the archive's own file. Windows refuses to replace a file that
// another program holds open without sharing its deletion (the launcher may hold the archive that
// way while we patch), even when that program lets others write to it. Then the result is copied
// over the archive's content instead. A journal beside the archive says that such a write is under
// way, so that the next run finishes it, or undoes it from the backup, whenever it was stopped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "core/Status.h"
#include "patching/PatchEngine.h"

namespace qdt {

struct InPlaceWrite
{
    std::filesystem::path archive; // the archive's real file (not a link)
    std::filesystem::path result;  // the verified result, complete and flushed, beside the archive
    std::uint64_t resultHash = 0;
    std::uint64_t sourceHash = 0;
    std::filesystem::path backup; // a copy of the archive as it is now, of its own; or empty
    ResultContent content = ResultContent::Patched;
};

// The journal of an in-place write of `archive`: "<archive>.patching" beside it.
std::filesystem::path inPlaceJournalPath(const std::filesystem::path& archive);

// Writes the journal, copies the result over the content of `archiveFile` (the archive opened
// for reading and writing), cuts it to the result's size and flushes it; then removes the
// journal and the result file. A failure part-way is finished or undone at once where possible;
// the journal stays only when neither could be done.
Status writeInPlace(const InPlaceWrite& write, std::FILE* archiveFile,
                    const ProgressFunction& progress);

// Finishes an in-place write of `archive` that was stopped half-way, or undoes it from its
// backup. The caller holds the archive's lock.
RecoveryReport recoverInPlaceWrite(const std::filesystem::path& archive);

// The name of the result file that the journal beside `archive` still needs, or empty: it is not
// a leftover to clear away.
std::string pendingResultName(const std::filesystem::path& archive);

} // namespace qdt
