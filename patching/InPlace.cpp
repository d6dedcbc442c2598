#include "patching/InPlace.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <sstream>
#include <system_error>
#include <vector>

#include "core/FileIo.h"
#include "core/FileUsers.h"
#include "core/Xxh64.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qdt {

namespace {

constexpr char kJournalFirstLine[] = "Quen Dara Translation in-place write 1";
constexpr std::uint64_t kProgressStep = 8u << 20;

struct Journal
{
    std::string resultName; // a temporary name beside the archive
    std::uint64_t resultHash = 0;
    std::uint64_t sourceHash = 0;
    std::filesystem::path backup;
};

std::string hex(std::uint64_t value)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, value);
    return text;
}

std::string journalText(const Journal& j)
{
    return std::string(kJournalFirstLine) + "\nresult " + j.resultName + "\nresult-hash " +
           hex(j.resultHash) + "\nsource-hash " + hex(j.sourceHash) + "\nbackup " +
           displayPath(j.backup) + "\n";
}

// The journal beside `archive`, when there is one of ours. A file of that name that is not
// exactly what we write is someone else's and is never acted on.
bool readJournal(const std::filesystem::path& archive, Journal& out)
{
    auto data = readWholeFile(inPlaceJournalPath(archive), 64 * 1024);
    if (!data)
        return false;
    std::istringstream in(std::string(data.value.begin(), data.value.end()));
    std::string first, resultLine, resultHashLine, sourceHashLine, backupLine;
    if (!std::getline(in, first) || first != kJournalFirstLine || !std::getline(in, resultLine) ||
        !std::getline(in, resultHashLine) || !std::getline(in, sourceHashLine) ||
        !std::getline(in, backupLine))
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
    std::string resultHash, sourceHash, backup;
    if (!field(resultLine, "result", out.resultName) ||
        !field(resultHashLine, "result-hash", resultHash) ||
        !field(sourceHashLine, "source-hash", sourceHash) || !field(backupLine, "backup", backup) ||
        !hash(resultHash, out.resultHash) || !hash(sourceHash, out.sourceHash))
        return false;
    // The result is only ever one of our temporaries beside the archive: a journal can't point
    // us at any other file to read, move or remove.
    if (!isTemporarySiblingName(out.resultName, displayPath(archive.filename())))
        return false;
    out.backup = pathFromUtf8(backup);
    return true;
}

void removeQuietly(const std::filesystem::path& path)
{
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
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

// Copies the whole of `from` over the content of the open `target` from its first byte, cuts
// the target to that size and flushes it to disk. Fails with ResultMismatch, after the copy,
// when what was copied does not have `expectedHash`.
Status overwriteContent(const std::filesystem::path& from, std::uint64_t expectedHash,
                        std::FILE* target, const std::filesystem::path& targetPath,
                        const ProgressFunction& progress)
{
    auto in = openFile(from, FileMode::Read);
    if (!in)
        return in.status;
    std::error_code ec;
    const std::uint64_t total = std::filesystem::file_size(from, ec);
    auto writeError = [&](int err) {
        return Status::failure(err == ENOSPC ? ErrorKind::NoSpace : ErrorKind::WriteFailed,
                               "Can't write " + displayPath(targetPath) + ": " +
                                   std::strerror(err));
    };
    if (std::fseek(target, 0, SEEK_SET) != 0)
        return writeError(errno);
    Xxh64Stream hash;
    std::vector<unsigned char> block(kIoBlockSize);
    std::uint64_t done = 0, reported = 0;
    for (;;) {
        const std::size_t n = std::fread(block.data(), 1, block.size(), in.value.get());
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
    if (std::ferror(in.value.get()))
        return Status::failure(ErrorKind::ReadFailed, "Can't read " + displayPath(from));
    if (std::fflush(target) != 0)
        return writeError(errno);
    if (!truncateOpenFile(target, done))
        return Status::failure(ErrorKind::WriteFailed,
                               "Can't set the size of " + displayPath(targetPath));
    if (Status flushed = flushToDisk(target, targetPath); !flushed)
        return flushed;
    if (hash.digest() != expectedHash)
        return Status::failure(ErrorKind::ResultMismatch,
                               displayPath(from) + " changed on the disk before it was copied");
    return Status::success();
}

// Puts the content of `from` (which has `expectedHash`) in place of the archive's: by a rename
// when the archive may be replaced (`from` is then gone), else over the archive's own content.
Status putInPlace(const std::filesystem::path& archive, const std::filesystem::path& from,
                  std::uint64_t expectedHash, bool mayRename)
{
    if (mayRename) {
        copyOwnership(archive, from, true);
        if (replaceFile(from, archive))
            return Status::success();
    }
    auto target = openFile(archive, FileMode::ReadWrite);
    if (!target)
        return target.status;
    return overwriteContent(from, expectedHash, target.value.get(), archive, {});
}

bool hasHash(const std::filesystem::path& path, std::uint64_t hash)
{
    std::error_code ec;
    if (path.empty() || !std::filesystem::is_regular_file(path, ec))
        return false;
    const auto h = hashFile(path);
    return h && h.value == hash;
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
    const std::string stopped = "Patching " + name +
                                " was stopped while the patched content was "
                                "being written into it. ";

    auto settle = [&](Outcome outcome, std::string message) {
        removeQuietly(result);
        removeQuietly(inPlaceJournalPath(archive));
        return RecoveryReport{outcome, std::move(message)};
    };
    const auto archiveHash = hashFile(archive);
    if (archiveHash && archiveHash.value == journal.resultHash)
        return settle(Outcome::Completed, stopped + "All of it had been written: " + name +
                                              " holds the patched content.");

    Status put = Status::failure(ErrorKind::NotFound, "the patched copy " + displayPath(result) +
                                                          " is missing or damaged");
    if (hasHash(result, journal.resultHash)) {
        put = putInPlace(archive, result, journal.resultHash, true);
        if (put)
            return settle(Outcome::Completed, stopped + "It has now been completed: " + name +
                                                  " holds the patched content.");
    }
    if (hasHash(journal.backup, journal.sourceHash)) {
        put = putInPlace(archive, journal.backup, journal.sourceHash, false);
        if (put)
            return settle(Outcome::Undone, stopped + "It has been undone: " + name +
                                               " is as it was before, copied back from " +
                                               displayPath(journal.backup) + ".");
    }
    if (archiveHash && archiveHash.value == journal.sourceHash)
        return settle(Outcome::Undone,
                      stopped + "Nothing had been written yet: " + name + " is as it was before.");
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
        if (std::filesystem::exists(std::filesystem::symlink_status(journalPath, ec)) &&
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
    const std::string text = journalText(journal);
    if (Status written = writeFileAtomically(journalPath, text.data(), text.size()); !written)
        return written;

    // From here on the archive changes; until the journal is gone, a stopped run is finished or
    // undone by the next one.
    Status copied =
        overwriteContent(write.result, write.resultHash, archiveFile, write.archive, progress);
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
