// The archive's Windows attributes (read-only, hidden, system, archive, not indexed) and its
// creation time, kept across a run that replaces the archive by a new file or writes into it. A
// read-only archive can be neither replaced nor written, so read-only is cleared for the run and
// put back afterwards, on whichever file then holds the archive's content. Elsewhere the owner
// and mode travel with copyOwnership, and this does nothing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace qdt {

class KeptAttributes
{
public:
    // Takes note of what `file` has and, when it is read-only, clears that through the open file.
    explicit KeptAttributes(const std::filesystem::path& file);
    // Puts everything back on the file at the path: the original, or the successor once
    // successorInPlace was called. Whatever the path leads to by now is checked to be that file
    // first; another file is never touched.
    ~KeptAttributes();
    KeptAttributes(const KeptAttributes&) = delete;
    KeptAttributes& operator=(const KeptAttributes&) = delete;

    // Gives the open file that is to take the original's place its creation time and attributes,
    // all but read-only, which would keep it from being removed when the run fails.
    void prepareSuccessor(std::FILE* successor);
    // The prepared successor has been renamed over the original.
    void successorInPlace();

private:
    std::filesystem::path path_;
    bool known_ = false;
    std::uint32_t attributes_ = 0;
    std::int64_t created_ = 0;
    std::uint64_t volume_ = 0;
    std::uint64_t file_ = 0;
    std::uint64_t successorVolume_ = 0;
    std::uint64_t successorFile_ = 0;
    bool successorPrepared_ = false;
    bool successorReady_ = false;
};

} // namespace qdt
