// The streaming patch engine. The archive is read once: one pass hashes it against the patch's
// source hash while it copies the unchanged spans, collects the replaced bytes for the reverse
// patch and writes the patched content to a file beside the archive, hashing that too. Only a
// content with the promised hash replaces the archive, by one rename (or, where another program
// holds the archive so that it can't be replaced, by a journaled write into it).
#include "patching/PatchEngine.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <system_error>
#include <thread>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>
#endif

#include "core/ArchiveLock.h"
#include "core/FileCopy.h"
#include "core/FileIo.h"
#include "core/FileUsers.h"
#include "core/KeptAttributes.h"
#include "core/LongPath.h"
#include "core/Xxh64.h"
#include "patching/HashingFileInput.h"
#include "patching/InPlace.h"

namespace qdt {

namespace {

constexpr std::uint64_t kProgressStep = 8u << 20;

// Below this length an unchanged stretch goes through our buffers: a copy by the system costs
// more to set up than it saves on short stretches (measured: per-stretch copies of a few hundred
// KiB were slower than the buffered pass).
constexpr std::uint64_t kSystemCopyMinimum = 8u << 20;

// The patched archive as the streaming pass writes it. The content is gathered in blocks that a
// second thread writes, so that the copying into the system's cache overlaps the reading and
// hashing; on Linux the disk also starts writing each finished stretch while the pass goes on,
// so that the final flush waits for the last stretch only, not for the whole archive. Where no
// thread can be started the blocks are written in turn.
class FileOutput : public ByteOutput
{
public:
    // `file` must be unbuffered: the blocks are the buffering.
    explicit FileOutput(std::FILE* file) : file_(file)
    {
        for (Block& b : blocks_)
            b.data.resize(kIoBlockSize);
        try {
            writer_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            // Synchronous writing then.
        }
    }
    ~FileOutput() override { finish(); }
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    bool write(const unsigned char* data, std::size_t size) override
    {
        while (size > 0) {
            Block& b = blocks_[current_];
            const std::size_t n = std::min(size, b.data.size() - b.used);
            std::memcpy(b.data.data() + b.used, data, n);
            b.used += n;
            data += n;
            size -= n;
            if (b.used == b.data.size() && !handOver())
                return false;
        }
        return true;
    }

    // Writes what is left and waits until all of it is written; false when any write failed.
    bool finish()
    {
        if (!finished_) {
            finished_ = true;
            if (blocks_[current_].used > 0)
                handOver();
            if (writer_.joinable()) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    stop_ = true;
                }
                changed_.notify_all();
                writer_.join();
            }
        }
        return error_ == 0;
    }

    int error() const { return error_; }

    unsigned char* room(std::size_t& size) override
    {
        Block& b = blocks_[current_];
        size = std::min(size, b.data.size() - b.used);
        return b.data.data() + b.used;
    }
    bool commit(std::size_t size) override
    {
        Block& b = blocks_[current_];
        b.used += size;
        return b.used < b.data.size() || handOver();
    }

#ifdef __linux__
    int settledDescriptor() override
    {
        if (blocks_[current_].used > 0 && !handOver())
            return -1;
        std::unique_lock<std::mutex> lock(mutex_);
        if (writer_.joinable())
            changed_.wait(lock,
                          [&] { return (!blocks_[0].full && !blocks_[1].full) || error_ != 0; });
        return error_ == 0 ? ::fileno(file_) : -1;
    }
    void addedDirectly(std::uint64_t size) override
    {
        // The writer is idle: settledDescriptor waited for it.
        std::lock_guard<std::mutex> lock(mutex_);
        written_ += size;
        startWriteback();
    }
#endif

private:
    struct Block
    {
        std::vector<unsigned char> data;
        std::size_t used = 0;
        bool full = false; // handed to the writer, not yet written
    };

    // Hands the current block to the writer and goes on in the other one once that is free.
    bool handOver()
    {
        if (!writer_.joinable()) {
            Block& b = blocks_[current_];
            const bool ok = writeBlock(b);
            b.used = 0;
            return ok;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        blocks_[current_].full = true;
        changed_.notify_all();
        const int next = 1 - current_;
        changed_.wait(lock, [&] { return !blocks_[next].full || error_ != 0; });
        if (error_ != 0)
            return false;
        current_ = next;
        blocks_[current_].used = 0;
        return true;
    }

    void run()
    {
        for (int index = 0;; index = 1 - index) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return blocks_[index].full || stop_; });
            if (!blocks_[index].full)
                return;
            lock.unlock();
            const bool ok = writeBlock(blocks_[index]);
            lock.lock();
            blocks_[index].full = false;
            changed_.notify_all();
            if (!ok)
                return;
        }
    }

    // Writes one block; on failure records the error for both threads to see.
    bool writeBlock(const Block& b)
    {
#ifdef __linux__
        // Through the descriptor, which spans copied by the system move on too.
        std::size_t done = 0;
        while (done < b.used) {
            const ssize_t r = ::write(::fileno(file_), b.data.data() + done, b.used - done);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            done += static_cast<std::size_t>(r);
        }
        const bool ok = done == b.used;
#else
        const bool ok = std::fwrite(b.data.data(), 1, b.used, file_) == b.used;
#endif
        if (!ok) {
            const int err = errno;
            std::lock_guard<std::mutex> lock(mutex_);
            error_ = err != 0 ? err : EIO;
            return false;
        }
        written_ += b.used;
        startWriteback();
        return true;
    }

    // On Linux the disk starts writing each finished stretch while the pass goes on.
    void startWriteback()
    {
#ifdef __linux__
        if (written_ - started_ >= kWritebackStep) {
            ::sync_file_range(::fileno(file_), static_cast<off64_t>(started_),
                              static_cast<off64_t>(written_ - started_), SYNC_FILE_RANGE_WRITE);
            started_ = written_;
        }
#endif
    }

    static constexpr std::uint64_t kWritebackStep = 16u << 20;
    std::FILE* file_;
    Block blocks_[2];
    int current_ = 0;
    bool finished_ = false;
    bool stop_ = false;
    int error_ = 0;             // guarded by mutex_ while the writer runs
    std::uint64_t written_ = 0; // the writer's own
    std::uint64_t started_ = 0; // the writer's own
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread writer_;
};

// Calls the progress function when at least kProgressStep bytes were done since the last call.
class ProgressMeter
{
public:
    ProgressMeter(const ProgressFunction& f, std::uint64_t base, std::uint64_t total)
        : f_(f), base_(base), total_(total)
    {
    }
    void advance(std::uint64_t bytes)
    {
        done_ += bytes;
        if (f_ && done_ - reported_ >= kProgressStep) {
            reported_ = done_;
            f_(base_ + done_, total_);
        }
    }

private:
    const ProgressFunction& f_;
    std::uint64_t base_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    std::uint64_t reported_ = 0;
};

// A run that was killed leaves its temporary files beside the files it writes (the one beside the
// archive as big as the archive). The next run clears them away: regular files whose names follow
// our exact pattern for that file, and nothing else.
void removeStaleTemporaries(const std::filesystem::path& target, const std::string& keep = {})
{
    const std::string targetName = displayPath(target.filename());
    const auto folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    const auto entries = folderEntries(folder);
    if (!entries)
        return;
    for (const auto& entry : entries.value) {
        const std::string name = displayPath(entry);
        if (name == keep || !isTemporarySiblingName(name, targetName))
            continue;
        const auto path = systemPath(folder / entry);
        std::error_code statusError;
        if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, statusError)) ||
            statusError)
            continue;
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
}

// The leftovers of killed runs beside the archive (except a patched copy that an unfinished
// in-place write still needs) and beside each of the other files a run writes (empty paths
// skipped).
void removeStaleTemporariesOf(const std::filesystem::path& archive,
                              std::initializer_list<std::filesystem::path> others)
{
    removeStaleTemporaries(archive, pendingResultName(archive));
    removeStaleTemporaries(inPlaceJournalPath(archive));
    for (const auto& target : others) {
        if (!target.empty())
            removeStaleTemporaries(target);
    }
}

// Sizes for the player in whole megabytes (as Windows counts them), rounded up: "needs 2049 MB".
std::string sizeText(std::uint64_t bytes)
{
    return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MB";
}

// The patched copy is made beside the archive before it replaces it: that much must be free on
// the archive's disk, with the reverse patch and some room to spare for the system.
Status checkFreeSpace(const std::filesystem::path& archive, std::uint64_t resultSize,
                      std::uint64_t reverseSize)
{
    constexpr std::uint64_t kHeadroom = 16u << 20;
    std::error_code ec;
    const auto folder =
        archive.has_parent_path() ? archive.parent_path() : std::filesystem::path(".");
    const auto space = std::filesystem::space(systemPath(folder), ec);
    const std::uint64_t needed = resultSize + reverseSize + kHeadroom;
    if (ec || space.available >= needed)
        return Status::success();
    return Status::failure(ErrorKind::NoSpace,
                           "There is not enough free space on the disk of " + displayPath(archive) +
                               ".\nPatching needs " + sizeText(needed) +
                               " for the patched copy, and " + sizeText(space.available) +
                               " is free.\nFree at least " + sizeText(needed - space.available) +
                               " on that disk and try again.");
}

// The file a run works on: a linked archive is patched where it lives, and the link stays a link.
Result<std::filesystem::path> realArchive(const std::filesystem::path& archive)
{
    std::error_code ec;
    if (!std::filesystem::is_symlink(systemPath(archive), ec))
        return Result<std::filesystem::path>::success(archive);
    auto real = std::filesystem::canonical(archive, ec);
    if (ec)
        return Result<std::filesystem::path>::failure(ErrorKind::NotFound,
                                                      "Can't find the file the link " +
                                                          displayPath(archive) + " points to");
    return Result<std::filesystem::path>::success(std::move(real));
}

// The backup of the archive as it is now, made at `tmp` (renamed into place by the caller). The
// archive is normally replaced by a rename, never written, so a second name for the current file
// is as good as a copy and costs nothing: the old content lives on under the backup's name (and
// `linked` says so). Where a link can't be made (another disk, a file system without links) it is
// a real copy, and so it is when the archive is about to be written in place (`mayLink` false).
Status prepareBackup(const std::filesystem::path& archive, const std::filesystem::path& tmp,
                     bool mayLink, bool& linked)
{
    std::error_code ec;
    if (mayLink)
        std::filesystem::create_hard_link(systemPath(archive), systemPath(tmp), ec);
    linked = mayLink && !ec;
    if (linked)
        return Status::success();
    Status copied = copyFileFlushed(archive, tmp, tmp);
    if (copied)
        copyOwnership(archive, tmp, false);
    return copied;
}

// The message for an archive that another program holds so that it can be neither replaced nor
// written.
Status archiveInUse(const std::filesystem::path& archive)
{
    return Status::failure(ErrorKind::InUse,
                           anotherProgramUses(archive, displayPath(archive)) +
                               ", so it can't be changed. Close that program and try again. "
                               "Nothing was changed.");
}

// The archive could not be replaced by the verified result `tmp`: another program holds it open
// without sharing its deletion (Windows), or it is a mount point. Where it may still be written,
// the result is copied into it, under a journal; the backup must then be a copy of its own, not a
// second name of the file that is about to be overwritten.
Status writeResultInPlace(const ApplyRequest& request, const std::filesystem::path& archive,
                          const std::filesystem::path& tmp, const PatchHeader& header,
                          bool backupLinked, const std::function<Status()>& commitBackup)
{
    auto target = openFile(archive, FileMode::ReadWrite);
    if (!target)
        return target.status.kind == ErrorKind::InUse ? archiveInUse(archive) : target.status;
    // Only now, with the archive open for writing, is the backup put in its place.
    if (backupLinked) {
        if (Status copied = copyFileAtomically(archive, request.backup); !copied)
            return Status::failure(ErrorKind::BackupFailed, copied.detail);
        copyOwnership(archive, request.backup, false);
    } else if (Status committed = commitBackup(); !committed) {
        return committed;
    }
    InPlaceWrite write;
    write.archive = archive;
    write.result = tmp;
    write.resultHash = header.resultHash;
    write.sourceHash = header.sourceHash;
    write.backup = request.backup;
    write.content = request.content;
    return writeInPlace(write, target.value.get(), request.progress);
}

} // namespace

StreamResult streamPatch(const unsigned char* patch, std::size_t patchSize,
                         const PatchSummary& summary, std::uint64_t sourceSize, ByteInput& input,
                         ByteOutput& output, const ProgressFunction& progress,
                         std::uint64_t progressBase, std::uint64_t progressTotal)
{
    StreamResult result;
    auto& reverse = result.reversePatch;
    reverse.reserve(kPatchHeaderSize + summary.recordCount * kPatchRecordHeadSize +
                    summary.bytesReplaced);
    reverse.insert(reverse.end(), {'P', 'T', 'C', 'H'});
    reverse.insert(reverse.end(), summary.header.headerWord.begin(),
                   summary.header.headerWord.end());
    reverse.resize(kPatchHeaderSize); // the hashes are filled in at the end

    Xxh64Stream hash;
    ProgressMeter meter(progress, progressBase, progressTotal ? progressTotal : sourceSize);
    std::vector<unsigned char> block(kIoBlockSize);

    auto fail = [&](ErrorKind kind, std::string detail) {
        result.status = Status::failure(kind, std::move(detail));
        return std::move(result);
    };
    auto emit = [&](const unsigned char* data, std::size_t size) {
        hash.update(data, size);
        return output.write(data, size);
    };
    // Copies `count` unchanged source bytes to the output: a long stretch the way the input
    // moves it fastest, a short one read straight into the output's room.
    auto copySpan = [&](std::uint64_t count) {
        if (count == 0)
            return ErrorKind::None;
        const auto moved =
            count < kSystemCopyMinimum
                ? ByteInput::Moved::NotHere
                : input.moveTo(output, count, [&](const unsigned char* data, std::size_t size) {
                      hash.update(data, size);
                      meter.advance(size);
                  });
        if (moved == ByteInput::Moved::Done)
            return ErrorKind::None;
        if (moved == ByteInput::Moved::ReadFailed)
            return ErrorKind::ReadFailed;
        if (moved == ByteInput::Moved::WriteFailed)
            return ErrorKind::WriteFailed;
        while (count > 0) {
            auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, block.size()));
            unsigned char* room = output.room(n);
            unsigned char* at = room ? room : block.data();
            if (!input.read(at, n))
                return ErrorKind::ReadFailed;
            hash.update(at, n);
            if (room ? !output.commit(n) : !output.write(at, n))
                return ErrorKind::WriteFailed;
            count -= n;
            meter.advance(n);
        }
        return ErrorKind::None;
    };

    std::uint64_t position = 0; // source bytes consumed
    std::int64_t delta = 0;
    PatchRecordReader reader(patch, patchSize);
    PatchRecord record;
    std::uint64_t recordsSeen = 0;
    while (reader.next(record)) {
        ++recordsSeen;
        const auto offset = static_cast<std::uint64_t>(record.offset);
        const auto oldLength = static_cast<std::uint64_t>(record.oldLength);
        if (offset < position || offset + oldLength > sourceSize)
            return fail(ErrorKind::Malformed, "record " + std::to_string(recordsSeen) +
                                                  " lies outside the archive or out of order");
        if (auto k = copySpan(offset - position); k != ErrorKind::None)
            return fail(k, k == ErrorKind::ReadFailed
                               ? "the archive ended early or could not be read"
                               : "the patched archive could not be written");
        appendLe64(reverse, static_cast<std::uint64_t>(record.offset + delta));
        appendLe64(reverse, static_cast<std::uint64_t>(record.newLength));
        appendLe64(reverse, oldLength);
        const std::size_t at = reverse.size();
        reverse.resize(at + static_cast<std::size_t>(oldLength));
        if (oldLength > 0 && !input.read(reverse.data() + at, static_cast<std::size_t>(oldLength)))
            return fail(ErrorKind::ReadFailed, "the archive ended early or could not be read");
        meter.advance(oldLength);
        if (record.newLength > 0 && !emit(record.data, static_cast<std::size_t>(record.newLength)))
            return fail(ErrorKind::WriteFailed, "the patched archive could not be written");
        delta += record.newLength - record.oldLength;
        position = offset + oldLength;
    }
    if (recordsSeen != summary.recordCount || reader.position() != patchSize)
        return fail(ErrorKind::Malformed, "the patch's records do not match its check");
    if (auto k = copySpan(sourceSize - position); k != ErrorKind::None)
        return fail(k, k == ErrorKind::ReadFailed ? "the archive ended early or could not be read"
                                                  : "the patched archive could not be written");

    result.resultHash = hash.digest();
    std::vector<unsigned char> hashes;
    appendLe64(hashes, result.resultHash);
    appendLe64(hashes, summary.header.sourceHash);
    std::memcpy(reverse.data() + 8, hashes.data(), 16);
    return result;
}

Status applyPatchToArchive(const ApplyRequest& request)
{
    const std::string archiveName = displayPath(request.archive);
    const auto resolved = realArchive(request.archive);
    if (!resolved)
        return resolved.status;
    const std::filesystem::path& archive = resolved.value;
    // Writing the backup or the reverse patch over one of the other files would lose it, however
    // the names are spelled: the folders' identities are compared, not the strings.
    {
        struct Pair
        {
            const std::filesystem::path& written;
            const char* writtenRole;
            const std::filesystem::path& other;
            const char* otherRole;
        };
        const Pair pairs[] = {
            {request.backup, "backup", archive, "archive"},
            {request.reversePatch, "reverse patch", archive, "archive"},
            {request.reversePatch, "reverse patch", request.backup, "backup"},
            {request.reversePatch, "reverse patch", request.patchFile, "patch"},
            {request.backup, "backup", request.patchFile, "patch"},
        };
        for (const Pair& p : pairs) {
            if (!p.written.empty() && !p.other.empty() && sameEntry(p.written, p.other))
                return Status::failure(ErrorKind::Other,
                                       "The " + std::string(p.writtenRole) + " " +
                                           displayPath(p.written) + " is the " + p.otherRole +
                                           " itself; choose another file. Nothing was changed.");
        }
    }
    auto header = readPatchHeader(request.patch, request.patchSize);
    if (!header)
        return header.status;

    auto checked = checkPatch(request.patch, request.patchSize);
    if (!checked)
        return Status::failure(checked.status.kind,
                               "The patch is damaged: " + checked.status.detail);
    const PatchSummary& summary = checked.value;

    // One run per archive at a time, before anything of another run's may be cleared away.
    auto lock = ArchiveLock::acquire(archive);
    if (!lock)
        return lock.status;

    // A stopped in-place write is finished or undone before anything else; when it can be
    // neither, the archive holds a mix that this patch's source hash check refuses.
    recoverInPlaceWrite(archive);

    // Temporaries of killed or refused runs: of the archive, and of the backup and reverse patch,
    // which are written atomically too. Before the archive is opened here: on Windows a second
    // name of a file we hold open can't be removed.
    removeStaleTemporariesOf(archive, {request.backup, request.reversePatch});

    // A player may have marked the archive read-only (or the game's installer did): that keeps it
    // from being replaced or written, yet it is no refusal of ours to patch it. Read-only is
    // cleared for the run and put back when it ends, whatever the outcome, together with the
    // archive's other attributes and its creation time on a replacing file.
    KeptAttributes kept(archive);

    // An archive that another program holds against replacement (asked before our own reading
    // handle adds to its holders) will be written in place: its backup can't be a second name.
    const bool held = heldAgainstReplacement(archive);

    // Another program writing into the archive while we read it would leave us with a result and
    // a backup of bytes the hash never saw: the open file's change stamp is compared afterwards.
    std::error_code ec;
    // Between records the pass reads a few KiB at a time: with the C library's default buffer of
    // one page that would be one system call per page, more time than the copying itself. The
    // archive's stream gets a large buffer (declared before the stream, which uses it until it is
    // closed).
    std::vector<char> inBuffer(kIoBlockSize);
    auto in = openFile(archive, FileMode::Read);
    if (!in)
        return in.status;
    std::setvbuf(in.value.get(), inBuffer.data(), _IOFBF, inBuffer.size());
    const std::string stampBefore = changeStamp(in.value.get());
    const std::uint64_t sourceSize = std::filesystem::file_size(systemPath(archive), ec);
    if (ec)
        return Status::failure(ErrorKind::ReadFailed,
                               "Can't read " + archiveName + ": " + ec.message());

    // Opening the archive for writing is the access probe: a game or another program that holds
    // it without sharing it for writing is reported as such before any work is done.
    {
        auto probe = openFile(archive, FileMode::ReadWrite);
        if (!probe) {
            if (probe.status.kind == ErrorKind::InUse)
                return archiveInUse(archive);
            return Status::failure(probe.status.kind == ErrorKind::NotFound
                                       ? ErrorKind::NotFound
                                       : ErrorKind::AccessDenied,
                                   probe.status.detail);
        }
    }

    const std::uint64_t resultSize = sourceSize - summary.bytesReplaced + summary.bytesInserted;
    if (Status space = checkFreeSpace(
            archive, resultSize,
            kPatchHeaderSize + summary.recordCount * kPatchRecordHeadSize + summary.bytesReplaced);
        !space)
        return space;

    // Everything this run may leave behind until it commits; removed on every failure.
    std::vector<std::filesystem::path> temporaries;
    auto fail = [&temporaries](Status status) {
        for (const auto& t : temporaries) {
            std::error_code ignored;
            std::filesystem::remove(systemPath(t), ignored);
        }
        return status;
    };

    // One pass: the archive is read once, hashed as it is streamed into a file beside it (so that
    // the final rename stays on one disk).
    const auto tmp = temporarySibling(archive);
    StreamResult streamed;
    {
        auto out = openFile(tmp, FileMode::Create);
        if (!out) {
            // No file can be made in the game's folder: for the player that is missing access.
            return Status::failure(out.status.kind == ErrorKind::AccessDenied
                                       ? ErrorKind::AccessDenied
                                       : ErrorKind::WriteFailed,
                                   out.status.detail);
        }
        temporaries.push_back(tmp);
        std::setvbuf(out.value.get(), nullptr, _IONBF, 0);
        HashingFileInput input(in.value.get());
        FileOutput output(out.value.get());
        streamed = streamPatch(request.patch, request.patchSize, summary, sourceSize, input, output,
                               request.progress, 0, sourceSize);
        Status status = streamed.status;
        if (!output.finish() && status.ok())
            status = Status::failure(ErrorKind::WriteFailed, "");
        // Whatever went wrong, the rest of the archive is hashed too: an archive that is not the
        // one the patch was made for explains a record outside it or a short read best.
        const bool drained = input.drain();
        if (!drained && status.ok())
            status = Status::failure(ErrorKind::ReadFailed, "Can't read " + archiveName);
        if (drained && input.digest() != summary.header.sourceHash) {
            status = Status::failure(ErrorKind::SourceMismatch,
                                     input.bytesRead() == sourceSize
                                         ? archiveName + " is different from the archive this "
                                                         "patch was made for"
                                         : archiveName + " changed while it was read");
        } else if (drained && input.bytesRead() != sourceSize) {
            status =
                Status::failure(ErrorKind::ReadFailed, archiveName + " changed while it was read");
        } else if (!status.ok()) {
            if (status.kind == ErrorKind::WriteFailed) {
                if (output.error() == ENOSPC)
                    status.kind = ErrorKind::NoSpace;
                status.detail = "Can't write the patched archive beside " + archiveName + ": " +
                                std::strerror(output.error());
            } else if (status.kind == ErrorKind::ReadFailed)
                status.detail = "Can't read " + archiveName + ": " + status.detail;
            else if (status.kind == ErrorKind::Malformed)
                status.detail = "The patch is damaged: " + status.detail;
        } else if (streamed.resultHash != summary.header.resultHash) {
            status =
                Status::failure(ErrorKind::ResultMismatch,
                                "The patched archive does not have the hash the patch promises; "
                                "the patch is damaged or was not made for " +
                                    archiveName);
        }
        if (status.ok())
            status = flushToDisk(out.value.get(), tmp);
        // The new archive keeps what the player's system knows of the old one: owner, group,
        // permissions, extended attributes; given to the file we wrote, not to whatever its name
        // may lead to by now.
        if (status.ok()) {
            copyOwnership(archive, out.value.get(), true);
            kept.prepareSuccessor(out.value.get());
        }
        if (std::fclose(out.value.release()) != 0 && status.ok())
            status = Status::failure(ErrorKind::WriteFailed, "Can't write " + displayPath(tmp));
        if (!status.ok())
            return fail(status);
    }
    const std::string stampAfter = changeStamp(in.value.get());
    in.value.reset();
    {
        std::error_code sizeError;
        if (stampAfter.empty() || stampAfter != stampBefore ||
            std::filesystem::file_size(systemPath(archive), sizeError) != sourceSize)
            return fail(Status::failure(ErrorKind::ReadFailed,
                                        archiveName + " was changed by another program while it "
                                                      "was read; nothing was changed, try again"));
    }

    // The verified result is ready. The reverse patch and the backup are prepared beside their
    // places first, so that a failure now still leaves every file of the player's as it was.
    std::filesystem::path reverseTmp, backupTmp;
    bool backupLinked = false;
    if (!request.reversePatch.empty()) {
        reverseTmp = temporarySibling(request.reversePatch);
        temporaries.push_back(reverseTmp);
        const auto& bytes = streamed.reversePatch;
        if (Status written =
                writeFileFlushed(reverseTmp, bytes.data(), bytes.size(), request.reversePatch);
            !written)
            return fail(written);
        copyOwnership(archive, reverseTmp, false);
    }
    if (!request.backup.empty()) {
        backupTmp = temporarySibling(request.backup);
        Status backup = prepareBackup(archive, backupTmp, !held, backupLinked);
        if (!backup)
            return fail(Status::failure(ErrorKind::BackupFailed, backup.detail));
        temporaries.push_back(backupTmp);
    }

    // Commit: the reverse patch first (a translated archive must never be without its way back),
    // then the archive, then the backup. The reverse patch that is replaced is kept aside until
    // the archive is replaced: when that last step is refused (another program took hold of the
    // archive meanwhile), it is put back and the refusal has changed nothing. The backup moves
    // only once the archive is replaced, or open for the write into it: until then it may be a
    // second name of the archive, which a holder on Windows keeps from being renamed or removed.
    std::filesystem::path reverseAside;
    bool reverseCommitted = false;
    const auto undoReverse = [&] {
        std::error_code ignored;
        if (reverseCommitted) {
            if (reverseAside.empty())
                std::filesystem::remove(systemPath(request.reversePatch), ignored);
            else if (replaceFile(reverseAside, request.reversePatch))
                reverseAside.clear();
        }
        if (!reverseAside.empty())
            std::filesystem::remove(systemPath(reverseAside), ignored);
    };
    if (!reverseTmp.empty()) {
        std::error_code ec;
        if (std::filesystem::exists(
                std::filesystem::symlink_status(systemPath(request.reversePatch), ec))) {
            const auto aside = temporarySibling(request.reversePatch);
            std::filesystem::rename(systemPath(request.reversePatch), systemPath(aside), ec);
            if (!ec)
                reverseAside = aside;
        }
        if (Status moved = replaceFile(reverseTmp, request.reversePatch); !moved) {
            undoReverse();
            return fail(moved);
        }
        reverseCommitted = true;
    }
    const auto commitBackup = [&]() -> Status {
        if (backupTmp.empty())
            return Status::success();
        if (Status moved = replaceFile(backupTmp, request.backup); !moved)
            return Status::failure(ErrorKind::BackupFailed, moved.detail);
        // Renaming a second name of a file onto another of its names does nothing: the backup
        // already was this archive, and the temporary name is left over.
        std::error_code ignored;
        std::filesystem::remove(systemPath(backupTmp), ignored);
        return Status::success();
    };
    Status replaced = replaceFile(tmp, archive);
    if (replaced) {
        kept.successorInPlace();
        // The archive holds the verified result and its reverse patch is in place; a backup that
        // can't be moved now leaves the one before, which is checked before it is ever used.
        commitBackup();
    } else if (replaced.kind == ErrorKind::AccessDenied || replaced.kind == ErrorKind::InUse) {
        replaced =
            writeResultInPlace(request, archive, tmp, summary.header, backupLinked, commitBackup);
    }
    const std::string pending = pendingResultName(archive);
    if (!replaced) {
        // An in-place write that could be neither finished nor undone keeps its journal, and the
        // patched copy and the backup the journal names for the next run. Otherwise the archive
        // is as it was, and so is the reverse patch.
        if (pending == displayPath(tmp.filename())) {
            temporaries.erase(std::remove(temporaries.begin(), temporaries.end(), tmp),
                              temporaries.end());
            reverseCommitted = false;
        }
        undoReverse();
        return fail(replaced);
    }
    reverseCommitted = false;
    undoReverse();
    if (!backupTmp.empty()) {
        // Left when the backup became a copy of its own for the write in place.
        std::error_code ignored;
        std::filesystem::remove(systemPath(backupTmp), ignored);
    }
    // A journal that an earlier stopped run left and nobody could settle is void now: the archive
    // holds a verified content again.
    if (!pending.empty()) {
        std::error_code ignored;
        std::filesystem::remove(systemPath(archive.parent_path() / pathFromUtf8(pending)), ignored);
        std::filesystem::remove(systemPath(inPlaceJournalPath(archive)), ignored);
    }
    if (request.progress)
        request.progress(sourceSize, sourceSize);
    return Status::success();
}

RecoveryReport recoverKilledRun(const std::filesystem::path& archive,
                                const std::filesystem::path& backup,
                                const std::filesystem::path& reversePatch)
{
    if (archive.empty())
        return {};
    const auto real = realArchive(archive);
    if (!real)
        return {};
    auto lock = ArchiveLock::acquire(real.value);
    if (!lock)
        return {};
    RecoveryReport report = recoverInPlaceWrite(real.value);
    removeStaleTemporariesOf(real.value, {backup, reversePatch});
    return report;
}

Result<ArchiveState> archiveState(const std::filesystem::path& archive, const unsigned char* patch,
                                  std::size_t patchSize)
{
    using R = Result<ArchiveState>;
    auto header = readPatchHeader(patch, patchSize);
    if (!header)
        return R::failure(header.status);
    auto hash = hashFile(archive);
    if (!hash)
        return R::failure(hash.status);
    if (hash.value == header.value.resultHash)
        return R::success(ArchiveState::Patched);
    if (hash.value == header.value.sourceHash)
        return R::success(ArchiveState::Original);
    return R::success(ArchiveState::Unknown);
}

Result<std::vector<unsigned char>> rebuildReversePatch(const unsigned char* forward,
                                                       std::size_t forwardSize,
                                                       const std::filesystem::path& original)
{
    using R = Result<std::vector<unsigned char>>;
    const std::string name = displayPath(original);
    std::error_code ec;
    const std::uint64_t size = std::filesystem::file_size(systemPath(original), ec);
    if (ec)
        return R::failure(ErrorKind::NotFound, "Can't find " + name);
    auto checked = checkPatch(forward, forwardSize, static_cast<std::int64_t>(size));
    if (!checked)
        return R::failure(checked.status);
    auto in = openFile(original, FileMode::Read);
    if (!in)
        return R::failure(in.status);
    std::vector<char> inBuffer(kIoBlockSize);
    std::setvbuf(in.value.get(), inBuffer.data(), _IOFBF, inBuffer.size());

    class Discard : public ByteOutput
    {
    public:
        bool write(const unsigned char*, std::size_t) override { return true; }
    } discard;
    HashingFileInput input(in.value.get());
    StreamResult streamed = streamPatch(forward, forwardSize, checked.value, size, input, discard);
    if (!input.drain())
        return R::failure(ErrorKind::ReadFailed, "Can't read " + name);
    if (input.digest() != checked.value.header.sourceHash || input.bytesRead() != size)
        return R::failure(ErrorKind::SourceMismatch,
                          name + " is not the original archive this translation was made for");
    if (!streamed.status)
        return R::failure(streamed.status);
    if (streamed.resultHash != checked.value.header.resultHash)
        return R::failure(ErrorKind::ResultMismatch, "The translation applied to " + name +
                                                         " does not give the content it promises");
    return R::success(std::move(streamed.reversePatch));
}

} // namespace qdt
