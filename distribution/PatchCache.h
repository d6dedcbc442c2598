// The rules for the downloaded patches kept in the work directory: when a kept copy may be used
// instead of a download, and what a kept copy says about the game's archive. Plain values in,
// plain values out: the window gathers the hashes, calls these and shows the outcome.
#pragma once

#include <cstdint>

#include <QByteArray>
#include <QtGlobal>

// Whether the kept copy of a patch may be applied instead of downloading it: the manifest
// publishes a hash (0: none), the copy was known to have it, and the file still has it now.
bool keptCopyUsable(quint64 published, quint64 knownHash, quint64 fileHashNow);

// What one kept patch tells about the archive, from the hash of the kept file, the hash the
// manifest publishes for its language and whether the archive holds that patch's result.
struct KeptPatchVerdict
{
    bool applied = false;  // the archive holds this translation, and it stays
    bool rollBack = false; // the archive holds it, but it is no longer the published one
    bool usable = false;   // the kept copy may be applied later without a download
};
KeptPatchVerdict judgeKeptPatch(quint64 fileHash, quint64 published, bool archiveHoldsItsResult);

// Whether an archive whose hash is `archiveHash` is what `patch` produces (its header's result
// hash). An empty or headerless patch produces nothing.
bool archiveHoldsResultOf(const QByteArray& patch, std::uint64_t archiveHash);
