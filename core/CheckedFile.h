// Files in the work directory that anyone may have replaced by a link, a second name of another
// file, a folder, a pipe or a device: looked at without following links, read or made only after
// checking what was opened, never written through a link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "core/Status.h"

namespace qdt {

enum class EntryKind
{
    Missing,
    OwnFile, // a regular file with this one name
    Folder,  // a real folder (not a link or junction to one)
    Other,   // a link, a junction, a second name of a file, a pipe, a device
};

struct Entry
{
    EntryKind kind = EntryKind::Missing;
    std::uint64_t size = 0; // of an OwnFile
};

// What is at `path`, the last component not followed.
Entry entryAt(const std::filesystem::path& path);

// Gives what is at `path` a name of its own beside it ("<name>.broken-<milliseconds>"), so that
// the name is free and nothing in it is lost. True when it was moved.
bool setAside(const std::filesystem::path& path);

// Renames `from` to `to` only while nothing has the name `to`: what is there is never replaced.
bool renameToFreeName(const std::filesystem::path& from, const std::filesystem::path& to);

// Frees the name `path`: a folder is set aside, anything else loses this name (a link goes, not
// what it leads to; another name of the same file keeps it), or is set aside when it can't.
// True when the name is free.
bool freeName(const std::filesystem::path& path);

// The content of `path` when it is a regular file (not a link) of at most `maxBytes`; a pipe, a
// device, a folder, a link or a larger file is refused with why, at once and without reading it.
Result<std::vector<unsigned char>> readSmallRegularFile(const std::filesystem::path& path,
                                                        std::size_t maxBytes);

// A file made new at `path`, where nothing may be yet, and checked after opening to be a regular
// file with one name; written at its end only. Movable, closed when destroyed.
class NewFile
{
public:
    NewFile() = default;
    NewFile(NewFile&& other) noexcept;
    NewFile& operator=(NewFile&& other) noexcept;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();

    // `ownerOnly`: on POSIX systems only its owner may read it (a secret key); on Windows it
    // takes its folder's permissions either way.
    static Result<NewFile> create(const std::filesystem::path& path, bool ownerOnly = false);

    bool isOpen() const;
    // Appends all of `size` bytes; false when the system wrote fewer.
    bool append(const void* data, std::size_t size);
    void close();

private:
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

} // namespace qdt
