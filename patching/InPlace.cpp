#include "patching/InPlace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <sstream>
#include <system_error>
#include <vector>

#include "core/FileFingerprint.h"
#include "core/FileIo.h"
#include "core/FileUsers.h"
#include "core/LongPath.h"
#include "core/Xxh64.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qdt {

namespace {

constexpr char kJournalFirstLine[] = "Quen Dara Translation in-place write 2";
constexpr std::uint64_t kProgressStep = 8u << 20;

struct Journal
{
    std::string resultName; // a temporary name beside the archive
    std::uint64_t resultHash = 0;
    std::uint64_t sourceHash = 0;
    std::filesystem::path backup;
    ResultContent content = ResultContent::Patched;
    // The archive when the write began: only a file that can still be our half-written one is
    // finished or undone, never one the launcher has updated or repaired since.
    FileFingerprint archiveBefore;
    std::uint64_t resultSize = 0;
};

std::string hex(std::uint64_t value)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, value);
    return text;
}

const char* contentKey(ResultContent c)
{
    switch (c) {
    case ResultContent::Translation:
        return "translation";
    case ResultContent::Original:
        return "original";
    case ResultContent::Patched:
        break;
    }
    return "patched";
}

// What the archive holds when the write is complete, and what it held before, for the player.
std::string contentText(ResultContent c)
{
    switch (c) {
    case ResultContent::Translation:
        return "the translation";
    case ResultContent::Original:
        return "the original game content";
    case ResultContent::Patched:
        break;
    }
    return "the patched content";
}

std::string contentBeforeText(ResultContent c)
{
    switch (c) {
    case ResultContent::Translation:
        return "the original game content";
    case ResultContent::Original:
        return "the translation";
    case ResultContent::Patched:
        break;
    }
    return "the content it had before";
}

std::string journalText(const Journal& j)
{
    const FileFingerprint& a = j.archiveBefore;
    return std::string(kJournalFirstLine) + "\nresult " + j.resultName + "\nresult-hash " +
           hex(j.resultHash) + "\nsource-hash " + hex(j.sourceHash) + "\nbackup " +
           displayPath(j.backup) + "\ncontent " + contentKey(j.content) + "\narchive " +
           std::to_string(a.device) + " " + std::to_string(a.file) + " " + std::to_string(a.size) +
           " " + std::to_string(a.modified) + "\nresult-size " + std::to_string(j.resultSize) +
           "\n";
}

bool decimal(const std::string& text, std::uint64_t& value)
{
    if (text.empty() || text.size() > 20 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0;
}

// The journal beside `archive`, when there is one of ours. A file of that name that is not
// exactly what we write is someone else's and is never acted on.
bool readJournal(const std::filesystem::path& archive, Journal& out)
{
    auto data = readWholeFile(inPlaceJournalPath(archive), 64 * 1024);
    if (!data)
        return false;
    std::istringstream in(std::string(data.value.begin(), data.value.end()));
    std::string first, resultLine, resultHashLine, sourceHashLine, backupLine, contentLine,
        archiveLine, resultSizeLine;
    if (!std::getline(in, first) || first != kJournalFirstLine || !std::getline(in, resultLine) ||
        !std::getline(in, resultHashLine) || !std::getline(in, sourceHashLine) ||
        !std::getline(in, backupLine) || !std::getline(in, contentLine) ||
        !std::getline(in, archiveLine) || !std::getline(in, resultSizeLine))
        return false;
    auto field = [](const std::string& line, const char* key, std::string& value) {
        const std::string prefix = std::string(key) + " ";
        if (line.compare(0, prefix.size(), prefix) != 0)
            return false;
        value = line.substr(prefix.size());
        return true;
    };
    auto hash = [](const std::string& text, std::uint64_t& value) {
        if (text.size() != 16 || text.find_first_not_of("0123456789abcdef") != std::string::npos)
            return false;
        value = std::strtoull(text.c_str(), nullptr, 16);
        return true;
    };
    std::string resultHash, sourceHash, backup, content, archiveText, resultSize;
    if (!field(resultLine, "result", out.resultName) ||
        !field(resultHashLine, "result-hash", resultHash) ||
        !field(sourceHashLine, "source-hash", sourceHash) || !field(backupLine, "backup", backup) ||
        !field(contentLine, "content", content) || !field(archiveLine, "archive", archiveText) ||
        !field(resultSizeLine, "result-size", resultSize) || !hash(resultHash, out.resultHash) ||
        !hash(sourceHash, out.sourceHash) || !decimal(resultSize, out.resultSize))
        return false;
    if (content == "translation")
        out.content = ResultContent::Translation;
    else if (content == "original")
        out.content = ResultContent::Original;
    else if (content == "patched")
        out.content = ResultContent::Patched;
    else
        return false;
    std::istringstream fields(archiveText);
    std::string device, file, size, modified, rest;
    std::uint64_t modifiedValue = 0;
    if (!(fields >> device >> file >> size >> modified) || (fields >> rest) ||
        !decimal(device, out.archiveBefore.device) || !decimal(file, out.archiveBefore.file) ||
        !decimal(size, out.archiveBefore.size) || !decimal(modified, modifiedValue))
        return false;
    out.archiveBefore.modified = static_cast<std::int64_t>(modifiedValue);
    // The result is only ever one of our temporaries beside the archive: a journal can't point
    // us at any other file to read, move or remove.
    if (!isTemporarySiblingName(out.resultName, displayPath(archive.filename())))
        return false;
    out.backup = pathFromUtf8(backup);
    return true;
}

// Whether the archive can still be the one our write stopped in: the same file, no older than
// when the write began, and of a size the write passes through (it writes from the first byte
// over the old content and cuts the file to the result's size at the end).
bool canStillBeOurs(const std::filesystem::path& archive, const Journal& j)
{
    const auto now = fingerprintOf(archive);
    if (!now)
        return false;
    const FileFingerprint& before = j.archiveBefore;
    const std::uint64_t low = std::min(before.size, j.resultSize);
    const std::uint64_t high = std::max(before.size, j.resultSize);
    return now.value.device == before.device && now.value.file == before.file &&
           now.value.modified >= before.modified && now.value.size >= low && now.value.size <= high;
}

// A file that a journal names, opened so that what is used is exactly what was checked: a
// regular file, not a link, with one name, on the archive's disk and, where the system says who
// made a file, made by us. Anything else is not ours to read, move or give away.
Result<FilePtr> openOurFile(const std::filesystem::path& path, std::uint64_t archiveDevice)
{
    const std::string notOurs =
        displayPath(path) + " is not a file this program made beside the archive";
#ifdef _WIN32
    HANDLE h =
        CreateFileW(systemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return Result<FilePtr>::failure(ErrorKind::NotFound, "Can't open " + displayPath(path));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        info.nNumberOfLinks != 1 || info.dwVolumeSerialNumber != archiveDevice) {
        CloseHandle(h);
        return Result<FilePtr>::failure(ErrorKind::AccessDenied, notOurs);
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return Result<FilePtr>::failure(ErrorKind::ReadFailed, "Can't open " + displayPath(path));
    }
    std::FILE* f = _fdopen(fd, "rb");
    if (!f) {
        _close(fd);
        return Result<FilePtr>::failure(ErrorKind::ReadFailed, "Can't open " + displayPath(path));
    }
    return Result<FilePtr>::success(FilePtr(f));
#else
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Result<FilePtr>::failure(
            errno == ENOENT ? ErrorKind::NotFound : ErrorKind::AccessDenied,
            errno == ELOOP ? notOurs : "Can't open " + displayPath(path));
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        static_cast<std::uint64_t>(st.st_dev) != archiveDevice || st.st_uid != ::geteuid()) {
        ::close(fd);
        return Result<FilePtr>::failure(ErrorKind::AccessDenied, notOurs);
    }
    std::FILE* f = ::fdopen(fd, "rb");
    if (!f) {
        ::close(fd);
        return Result<FilePtr>::failure(ErrorKind::ReadFailed, "Can't open " + displayPath(path));
    }
    return Result<FilePtr>::success(FilePtr(f));
#endif
}

// Whether an open file's whole content, read from its first byte, has the hash.
bool openFileHas(std::FILE* file, std::uint64_t expected)
{
    if (std::fseek(file, 0, SEEK_SET) != 0)
        return false;
    const auto hash = hashOpenFile(file, "the file");
    return hash && hash.value == expected;
}

void removeQuietly(const std::filesystem::path& path)
{
    std::error_code ignored;
    std::filesystem::remove(systemPath(path), ignored);
}

// Cuts the open file to `size` bytes; its stream must be flushed.
bool truncateOpenFile(std::FILE* file, std::uint64_t size)
{
#ifdef _WIN32
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    return h != INVALID_HANDLE_VALUE && SetFilePointerEx(h, end, nullptr, FILE_BEGIN) &&
           SetEndOfFile(h);
#else
    return ::ftruncate(::fileno(file), static_cast<off_t>(size)) == 0;
#endif
}

// Copies the whole of the open `from` over the content of the open `target` from its first
// byte, cuts the target to that size and flushes it to disk. Fails with ResultMismatch, after the
// copy, when what was copied does not have `expectedHash`.
Status overwriteContent(std::FILE* from, const std::string& fromName, std::uint64_t expectedHash,
                        std::FILE* target, const std::filesystem::path& targetPath,
                        const ProgressFunction& progress)
{
    std::uint64_t total = 0;
    if (const auto size = fingerprintOf(from))
        total = size.value.size;
    auto writeError = [&](int err) {
        return Status::failure(err == ENOSPC ? ErrorKind::NoSpace : ErrorKind::WriteFailed,
                               "Can't write " + displayPath(targetPath) + ": " +
                                   std::strerror(err));
    };
    if (std::fseek(from, 0, SEEK_SET) != 0)
        return Status::failure(ErrorKind::ReadFailed, "Can't read " + fromName);
    if (std::fseek(target, 0, SEEK_SET) != 0)
        return writeError(errno);
    Xxh64Stream hash;
    std::vector<unsigned char> block(kIoBlockSize);
    std::uint64_t done = 0, reported = 0;
    for (;;) {
        const std::size_t n = std::fread(block.data(), 1, block.size(), from);
        hash.update(block.data(), n);
        if (n > 0 && std::fwrite(block.data(), 1, n, target) != n)
            return writeError(errno);
        done += n;
        if (progress && done - reported >= kProgressStep) {
            reported = done;
            progress(done, total);
        }
        if (n < block.size())
            break;
    }
    if (std::ferror(from))
        return Status::failure(ErrorKind::ReadFailed, "Can't read " + fromName);
    if (std::fflush(target) != 0)
        return writeError(errno);
    if (!truncateOpenFile(target, done))
        return Status::failure(ErrorKind::WriteFailed,
                               "Can't set the size of " + displayPath(targetPath));
    if (Status flushed = flushToDisk(target, targetPath); !flushed)
        return flushed;
    if (hash.digest() != expectedHash)
        return Status::failure(ErrorKind::ResultMismatch,
                               fromName + " changed on the disk before it was copied");
    return Status::success();
}

// Puts the content of the open `from` (which has `expectedHash`) in place of the archive's: by a
// rename when the archive may be replaced (the file is then the archive), else over the
// archive's own content. The owner and attributes go through the open file, never a name.
Status putInPlace(const std::filesystem::path& archive, std::FILE* from,
                  const std::filesystem::path& fromPath, std::uint64_t expectedHash, bool mayRename)
{
    if (mayRename) {
        copyOwnership(archive, from, true);
        if (replaceFile(fromPath, archive))
            return Status::success();
    }
    auto target = openFile(archive, FileMode::ReadWrite);
    if (!target)
        return target.status;
    return overwriteContent(from, displayPath(fromPath), expectedHash, target.value.get(), archive,
                            {});
}

// The journal is set aside under a name of its own, so that it is never acted on again and a
// person can still read what it said.
void setJournalAside(const std::filesystem::path& archive)
{
    std::filesystem::path aside = inPlaceJournalPath(archive);
    aside += ".set-aside-" + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
    std::error_code ec;
    std::filesystem::rename(systemPath(inPlaceJournalPath(archive)), systemPath(aside), ec);
    if (ec)
        std::filesystem::remove(systemPath(inPlaceJournalPath(archive)), ec);
}

} // namespace

std::filesystem::path inPlaceJournalPath(const std::filesystem::path& archive)
{
    std::filesystem::path journal = archive;
    journal += ".patching";
    return journal;
}

std::string pendingResultName(const std::filesystem::path& archive)
{
    Journal journal;
    return readJournal(archive, journal) ? journal.resultName : std::string();
}

RecoveryReport recoverInPlaceWrite(const std::filesystem::path& archive)
{
    using Outcome = RecoveryReport::Outcome;
    Journal journal;
    if (!readJournal(archive, journal))
        return {};
    const std::filesystem::path folder =
        archive.has_parent_path() ? archive.parent_path() : std::filesystem::path(".");
    const std::filesystem::path result = folder / pathFromUtf8(journal.resultName);
    const std::string name = displayPath(archive);
    const std::string stopped = "Patching " + name + " was stopped while " +
                                contentText(journal.content) + " was being written into it. ";
    const std::string holds = name + " holds " + contentText(journal.content) + ".";

    auto settle = [&](Outcome outcome, std::string message) {
        removeQuietly(inPlaceJournalPath(archive));
        removeQuietly(result);
        return RecoveryReport{outcome, std::move(message)};
    };
    // An archive that is whole again needs nothing: the write had ended, had not begun, or the
    // player has had the game repaired to that content.
    const auto archiveHash = hashFile(archive);
    if (archiveHash && archiveHash.value == journal.resultHash)
        return settle(Outcome::Completed, stopped + "All of it had been written: " + holds);
    if (archiveHash && archiveHash.value == journal.sourceHash)
        return settle(Outcome::Undone, stopped + "Nothing had been written yet: " + name +
                                           " holds " + contentBeforeText(journal.content) +
                                           " as before.");
    // Another program has replaced or rewritten the archive since (the launcher updating or
    // repairing the game): its work is never undone with ours.
    if (!canStillBeOurs(archive, journal)) {
        setJournalAside(archive);
        return {Outcome::LeftAlone,
                stopped +
                    "The game files have been changed by another program since (most "
                    "likely the launcher updated or repaired the game), so " +
                    name + " was left as it is."};
    }

    const auto archiveNow = fingerprintOf(archive);
    Status put = Status::failure(ErrorKind::NotFound, "the patched copy " + displayPath(result) +
                                                          " is missing or damaged");
    if (archiveNow) {
        auto ours = openOurFile(result, archiveNow.value.device);
        if (!ours)
            put = ours.status;
        else if (openFileHas(ours.value.get(), journal.resultHash)) {
            put = putInPlace(archive, ours.value.get(), result, journal.resultHash, true);
            if (put)
                return settle(Outcome::Completed, stopped + "It has now been completed: " + holds);
        }
    }
    if (!journal.backup.empty()) {
        auto backup = openFile(journal.backup, FileMode::Read);
        if (backup && openFileHas(backup.value.get(), journal.sourceHash)) {
            put =
                putInPlace(archive, backup.value.get(), journal.backup, journal.sourceHash, false);
            if (put)
                return settle(Outcome::Undone, stopped + "It has been undone: " + name + " holds " +
                                                   contentBeforeText(journal.content) +
                                                   " as before, copied back from " +
                                                   displayPath(journal.backup) + ".");
        }
    }
    std::string why =
        put.kind == ErrorKind::InUse ? anotherProgramUses(archive, "the game files") : put.detail;
    return {Outcome::Failed,
            stopped + "It could be neither completed nor undone (" + why +
                "). Close every "
                "program that uses the game and start again; if this message comes back, "
                "repair the game files with the game's launcher."};
}

Status writeInPlace(const InPlaceWrite& write, std::FILE* archiveFile,
                    const ProgressFunction& progress)
{
    const auto journalPath = inPlaceJournalPath(write.archive);
    {
        // A file of that name that is not a journal of ours belongs to someone else.
        std::error_code ec;
        Journal existing;
        if (std::filesystem::exists(std::filesystem::symlink_status(systemPath(journalPath), ec)) &&
            !readJournal(write.archive, existing))
            return Status::failure(ErrorKind::Other, displayPath(journalPath) +
                                                         " is in the way; move it elsewhere "
                                                         "and try again. Nothing was changed.");
    }
    Journal journal;
    journal.resultName = displayPath(write.result.filename());
    journal.resultHash = write.resultHash;
    journal.sourceHash = write.sourceHash;
    journal.backup =
        write.backup.empty() ? std::filesystem::path() : std::filesystem::absolute(write.backup);
    journal.content = write.content;
    const auto before = fingerprintOf(archiveFile);
    if (!before)
        return before.status;
    journal.archiveBefore = before.value;
    auto result = openFile(write.result, FileMode::Read);
    if (!result)
        return result.status;
    if (const auto size = fingerprintOf(result.value.get()))
        journal.resultSize = size.value.size;
    const std::string text = journalText(journal);
    if (Status written = writeFileAtomically(journalPath, text.data(), text.size()); !written)
        return written;

    // From here on the archive changes; until the journal is gone, a stopped run is finished or
    // undone by the next one.
    Status copied = overwriteContent(result.value.get(), displayPath(write.result),
                                     write.resultHash, archiveFile, write.archive, progress);
    result.value.reset();
    if (!copied) {
        const RecoveryReport report = recoverInPlaceWrite(write.archive);
        if (report.outcome == RecoveryReport::Outcome::Failed)
            return Status::failure(ErrorKind::LeftDamaged,
                                   displayPath(write.archive) + " could not be written in place (" +
                                       copied.detail + "). " + report.message);
        if (report.outcome == RecoveryReport::Outcome::Completed)
            return Status::success();
        return Status::failure(copied.kind, copied.detail + ". " + report.message);
    }
    removeQuietly(journalPath);
    removeQuietly(write.result);
    return Status::success();
}

} // namespace qdt
