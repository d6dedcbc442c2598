// Telling whether a file is still the one we looked at, without reading it: which file it is and
// when and how large it was last written. The launcher replaces or rewrites the game's archive
// between and during our runs; what we learnt about the archive holds only while its fingerprint
// stays the same.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "core/Status.h"

namespace qdt {

struct FileFingerprint
{
    std::uint64_t device = 0; // the disk (volume serial on Windows)
    std::uint64_t file = 0;   // the file's number on that disk (inode, file index)
    std::uint64_t size = 0;
    std::int64_t modified = 0; // last write, in the system's finest unit
    std::int64_t changed = 0;  // last change of the file's metadata (Linux); creation (Windows)

    bool operator==(const FileFingerprint& o) const
    {
        return device == o.device && file == o.file && size == o.size && modified == o.modified &&
               changed == o.changed;
    }
    bool operator!=(const FileFingerprint& o) const { return !(*this == o); }
};

// The fingerprint of the file at `path` (a link is followed), or of an open file.
Result<FileFingerprint> fingerprintOf(const std::filesystem::path& path);
Result<FileFingerprint> fingerprintOf(std::FILE* file);

// A file's XXH64, kept for as long as the file keeps its fingerprint, so that a 2 GiB archive is
// read once and not again for every question about it.
class RememberedHash
{
public:
    // The hash from memory while `path` is still the file it was taken from; nothing otherwise.
    std::optional<std::uint64_t> known(const std::filesystem::path& path) const;

    // The hash, from memory or by reading the file. What was read is remembered only when the file
    // kept its fingerprint while it was read, and the path still names it.
    Result<std::uint64_t> hash(const std::filesystem::path& path);

    // The file at `path` was just written by us with a content of this hash.
    void remember(const std::filesystem::path& path, std::uint64_t hash);

    void forget() { valid_ = false; }

private:
    std::filesystem::path path_;
    FileFingerprint fingerprint_;
    std::uint64_t hash_ = 0;
    bool valid_ = false;
};

} // namespace qdt
