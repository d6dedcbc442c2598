// File helpers shared by the engine, the cache and the settings file: opening with wide names on
// Windows, whole-file reads, durable writes and atomic replacement.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/Status.h"

namespace qdt {

constexpr std::size_t kIoBlockSize = 1 << 20;

struct FileCloser
{
    void operator()(std::FILE* f) const
    {
        if (f)
            std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

enum class FileMode
{
    Read,      // existing file, read only
    ReadWrite, // existing file, read and write, never created or truncated
    Create,    // new or truncated file, write only
};

// Opens a file; the error tells NotFound from AccessDenied where the platform says which.
Result<FilePtr> openFile(const std::filesystem::path& path, FileMode mode);

// The path as UTF-8 text for messages.
std::string displayPath(const std::filesystem::path& path);

// A path from UTF-8 text, without any reinterpretation of its separators.
std::filesystem::path pathFromUtf8(const std::string& utf8);

Result<std::vector<unsigned char>>
readWholeFile(const std::filesystem::path& path,
              std::uint64_t maxSize = std::numeric_limits<std::uint64_t>::max());

// Flushes the C stream and asks the operating system to put the data on the disk.
Status flushToDisk(std::FILE* file, const std::filesystem::path& pathForMessages);

// Moves `from` over `to` in one step: readers see either the old or the new file, never a mix.
Status replaceFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Whether another program holds `path` open so that it can't be renamed, replaced or deleted
// (Windows: open without delete sharing; a hard link of it then can't be renamed either). False
// where the system has no such thing.
bool heldAgainstReplacement(const std::filesystem::path& path);

// Whether two paths name one directory entry: the same name in the same folder, however each is
// spelled ("./x", "a/../x", a linked folder). Two hard links of one file are two entries: the
// engine's backup is one on purpose.
bool sameEntry(const std::filesystem::path& a, const std::filesystem::path& b);

// Whether writing to one path would change the file at the other: the same entry, or another
// link (hard or symbolic) to the same file.
bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// What changes whenever anyone writes to the open file (modification and change times at the
// finest resolution the system keeps, and the size); empty when it can't be read.
std::string changeStamp(std::FILE* file);

// Gives `to` the owner, group and permissions of `from` (and, with `withAttributes`, its extended
// attributes and special mode bits); for a derived file such as a reverse patch, read and write
// bits only, never wider than `from`. Best effort: what the system refuses is left as it is.
void copyOwnership(const std::filesystem::path& from, const std::filesystem::path& to,
                   bool withAttributes);

// The same, given to the open file `to`: what was checked is what gets the owner, never whatever
// a name may have been switched to meanwhile.
void copyOwnership(const std::filesystem::path& from, std::FILE* to, bool withAttributes);

// The names of the entries in `folder` ("." and ".." left out). On Windows they are read from the
// system itself: the C runtime's listing can't take a folder path of MAX_PATH or more, and then
// lists another folder.
Result<std::vector<std::filesystem::path>> folderEntries(const std::filesystem::path& folder);

// A temporary name beside `target`, in the same folder so that the final rename stays on one disk.
std::filesystem::path temporarySibling(const std::filesystem::path& target);

// Whether `name` is exactly what temporarySibling makes for a file named `targetName`:
// "<targetName>.tmp-<digits>-<digits>-<digits>". Nothing else is ever ours to remove.
bool isTemporarySiblingName(const std::string& name, const std::string& targetName);

// Writes `size` bytes to the new file `path` and flushes them to disk; messages name
// `nameForMessages`. On failure `path` is removed.
Status writeFileFlushed(const std::filesystem::path& path, const void* data, std::size_t size,
                        const std::filesystem::path& nameForMessages);

// The one way a file is replaced whole: `make` writes the new content, flushed, to the temporary
// file it is given beside `target`, which is then renamed over `target`. On failure `target` is
// untouched and the temporary file is removed.
Status replaceAtomically(const std::filesystem::path& target,
                         const std::function<Status(const std::filesystem::path&)>& make);

// Writes `size` bytes to a temporary file beside `target`, flushes it and renames it over
// `target`. On failure `target` is untouched and the temporary file is removed.
Status writeFileAtomically(const std::filesystem::path& target, const void* data, std::size_t size);

} // namespace qdt
