// The streaming patch engine. The archive is read twice at most: one pass hashes it to check the
// patch's source hash, one pass copies the unchanged spans, collects the replaced bytes for the
// reverse patch and writes the patched content to a file beside the archive, hashing it on the
// way. Only a content with the promised hash replaces the archive, by one rename.
#include "patching/PatchEngine.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "core/FileCopy.h"
#include "core/FileIo.h"
#include "core/Xxh64.h"

namespace qdt {

namespace {

constexpr std::uint64_t kProgressStep = 8u << 20;

class FileInput : public ByteInput
{
public:
    explicit FileInput(std::FILE* file) : file_(file) {}
    bool read(unsigned char* buffer, std::size_t size) override
    {
        return std::fread(buffer, 1, size, file_) == size;
    }

private:
    std::FILE* file_;
};

class FileOutput : public ByteOutput
{
public:
    explicit FileOutput(std::FILE* file) : file_(file) {}
    bool write(const unsigned char* data, std::size_t size) override
    {
        if (std::fwrite(data, 1, size, file_) == size)
            return true;
        error_ = errno;
        return false;
    }
    int error() const { return error_; }

private:
    std::FILE* file_;
    int error_ = 0;
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

// Whether `name` is exactly what temporarySibling makes for a file named `target`:
// "<target>.tmp-<digits>-<digits>-<digits>". Nothing else is ours to remove.
bool isOurTemporaryName(const std::string& name, const std::string& target)
{
    const std::string stem = target + ".tmp-";
    if (name.size() <= stem.size() || name.compare(0, stem.size(), stem) != 0)
        return false;
    int groups = 1;
    bool digitSeen = false;
    for (std::size_t i = stem.size(); i < name.size(); ++i) {
        const char c = name[i];
        if (c >= '0' && c <= '9') {
            digitSeen = true;
        } else if (c == '-' && digitSeen && groups < 3) {
            ++groups;
            digitSeen = false;
        } else {
            return false;
        }
    }
    return groups == 3 && digitSeen;
}

// A run that was killed leaves its temporary files beside the files it writes (the one beside the
// archive as big as the archive). The next run clears them away: regular files whose names follow
// our exact pattern for that file, and nothing else.
void removeStaleTemporaries(const std::filesystem::path& target)
{
    const std::string targetName = displayPath(target.filename());
    std::error_code ec;
    const auto folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (!isOurTemporaryName(displayPath(it->path().filename()), targetName))
            continue;
        std::error_code statusError;
        if (!std::filesystem::is_regular_file(it->symlink_status(statusError)) || statusError)
            continue;
        std::error_code ignored;
        std::filesystem::remove(it->path(), ignored);
    }
}

// The backup of the archive as it is now. The engine never writes the archive in place (it
// replaces it by a rename), so a second name for the current file is as good as a copy and costs
// nothing: the old content lives on under the backup's name. Where a link can't be made (another
// disk, a file system without links) the backup is a real copy.
Status keepBackup(const std::filesystem::path& archive, const std::filesystem::path& backup)
{
    const auto tmp = temporarySibling(backup);
    std::error_code ec;
    std::filesystem::create_hard_link(archive, tmp, ec);
    if (!ec) {
        Status linked = replaceFile(tmp, backup);
        if (linked)
            return linked;
        std::filesystem::remove(tmp, ec);
    }
    return copyFileAtomically(archive, backup);
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
    // Copies `count` unchanged source bytes to the output.
    auto copySpan = [&](std::uint64_t count) {
        while (count > 0) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, block.size()));
            if (!input.read(block.data(), n))
                return ErrorKind::ReadFailed;
            if (!emit(block.data(), n))
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
            {request.backup, "backup", request.archive, "archive"},
            {request.reversePatch, "reverse patch", request.archive, "archive"},
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

    if (auto structure = checkPatch(request.patch, request.patchSize); !structure)
        return Status::failure(structure.status.kind,
                               "The patch is damaged: " + structure.status.detail);

    // Hash pass: is this the archive the patch was built for?
    std::uint64_t sourceSize = 0;
    PatchSummary summary;
    {
        auto in = openFile(request.archive, FileMode::Read);
        if (!in)
            return in.status;
        std::error_code ec;
        sourceSize = std::filesystem::file_size(request.archive, ec);
        if (ec)
            return Status::failure(ErrorKind::ReadFailed,
                                   "Can't read " + archiveName + ": " + ec.message());

        // Opening the archive for writing is the access probe: a game or another program that
        // holds it without sharing it for writing is reported as such before any work is done.
        {
            auto probe = openFile(request.archive, FileMode::ReadWrite);
            if (!probe)
                return Status::failure(probe.status.kind == ErrorKind::NotFound
                                           ? ErrorKind::NotFound
                                           : ErrorKind::AccessDenied,
                                       probe.status.detail);
        }

        const std::uint64_t total = 2 * sourceSize;
        ProgressMeter meter(request.progress, 0, total);
        Xxh64Stream hash;
        std::vector<unsigned char> block(kIoBlockSize);
        std::uint64_t read = 0;
        for (;;) {
            const std::size_t n = std::fread(block.data(), 1, block.size(), in.value.get());
            hash.update(block.data(), n);
            read += n;
            meter.advance(n);
            if (n < block.size()) {
                if (std::ferror(in.value.get()))
                    return Status::failure(ErrorKind::ReadFailed, "Can't read " + archiveName);
                break;
            }
        }
        if (read != sourceSize)
            return Status::failure(ErrorKind::ReadFailed,
                                   archiveName + " changed while it was read");
        if (hash.digest() != header.value.sourceHash)
            return Status::failure(ErrorKind::SourceMismatch,
                                   archiveName +
                                       " is different from the archive this patch was made for");
        // Only now can a range outside the archive be told from a patch for another archive.
        auto checked =
            checkPatch(request.patch, request.patchSize, static_cast<std::int64_t>(sourceSize));
        if (!checked)
            return Status::failure(checked.status.kind,
                                   "The patch is damaged: " + checked.status.detail);
        summary = checked.value;
    }

    // Temporaries of killed runs: of the archive, and of the backup and reverse patch, which are
    // written atomically too.
    removeStaleTemporaries(request.archive);
    if (!request.backup.empty())
        removeStaleTemporaries(request.backup);
    if (!request.reversePatch.empty())
        removeStaleTemporaries(request.reversePatch);

    if (!request.backup.empty()) {
        Status backup = keepBackup(request.archive, request.backup);
        if (!backup)
            return Status::failure(ErrorKind::BackupFailed, backup.detail);
    }

    // Streaming pass into a file beside the archive, so that the final rename stays on one disk.
    const auto tmp = temporarySibling(request.archive);
    auto removeTmp = [&tmp] {
        std::error_code ec;
        std::filesystem::remove(tmp, ec);
    };
    StreamResult streamed;
    {
        auto in = openFile(request.archive, FileMode::Read);
        if (!in)
            return in.status;
        auto out = openFile(tmp, FileMode::Create);
        if (!out) {
            // No file can be made in the game's folder: for the player that is missing access.
            return Status::failure(out.status.kind == ErrorKind::AccessDenied
                                       ? ErrorKind::AccessDenied
                                       : ErrorKind::WriteFailed,
                                   out.status.detail);
        }
        std::setvbuf(out.value.get(), nullptr, _IOFBF, 1 << 20);
        FileInput input(in.value.get());
        FileOutput output(out.value.get());
        streamed = streamPatch(request.patch, request.patchSize, summary, sourceSize, input, output,
                               request.progress, sourceSize, 2 * sourceSize);
        Status status = streamed.status;
        if (!status.ok()) {
            if (status.kind == ErrorKind::WriteFailed)
                status.detail = "Can't write the patched archive beside " + archiveName + ": " +
                                std::strerror(output.error());
            else if (status.kind == ErrorKind::ReadFailed)
                status.detail = "Can't read " + archiveName + ": " + status.detail;
        } else if (streamed.resultHash != summary.header.resultHash) {
            status =
                Status::failure(ErrorKind::ResultMismatch,
                                "The patched archive does not have the hash the patch promises; "
                                "the patch is damaged or was not made for " +
                                    archiveName);
        }
        if (status.ok())
            status = flushToDisk(out.value.get(), tmp);
        if (std::fclose(out.value.release()) != 0 && status.ok())
            status = Status::failure(ErrorKind::WriteFailed, "Can't write " + displayPath(tmp));
        if (!status.ok()) {
            removeTmp();
            return status;
        }
    }

    std::error_code ec;
    const auto perms = std::filesystem::status(request.archive, ec).permissions();
    if (!ec)
        std::filesystem::permissions(tmp, perms, ec);

    // The reverse patch first: a translated archive must never be without its way back.
    if (!request.reversePatch.empty()) {
        Status written = writeFileAtomically(request.reversePatch, streamed.reversePatch.data(),
                                             streamed.reversePatch.size());
        if (!written) {
            removeTmp();
            return written;
        }
    }

    Status replaced = replaceFile(tmp, request.archive);
    if (!replaced) {
        removeTmp();
        return replaced;
    }
    if (request.progress)
        request.progress(2 * sourceSize, 2 * sourceSize);
    return Status::success();
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

} // namespace qdt
