#include "distribution/PatchCache.h"

#include "patching/PatchFormat.h"

bool keptCopyUsable(quint64 published, quint64 knownHash, quint64 fileHashNow)
{
    // 0 means "no usable copy known" on both sides, never a match.
    return published != 0 && knownHash == published && fileHashNow == published;
}

KeptPatchVerdict judgeKeptPatch(quint64 fileHash, quint64 published, bool archiveHoldsItsResult)
{
    KeptPatchVerdict v;
    const bool current = published != 0 && fileHash == published;
    v.usable = current;
    v.applied = archiveHoldsItsResult && current;
    v.rollBack = archiveHoldsItsResult && !current;
    return v;
}

bool archiveHoldsResultOf(const QByteArray& patch, std::uint64_t archiveHash)
{
    const auto header =
        qdt::readPatchHeader(reinterpret_cast<const unsigned char*>(patch.constData()),
                             static_cast<std::size_t>(patch.size()));
    return header && header.value.resultHash == archiveHash;
}
