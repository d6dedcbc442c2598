// The patch engine: applies a patch to the game's archive in one streaming pass, builds the
// reverse patch on the way, and puts the result in place atomically. Memory stays independent of
// the archive's size: the patch, the reverse patch and fixed buffers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/Status.h"
#include "patching/PatchFormat.h"

namespace qdt {

// Bytes done and bytes in all; called at a bounded rate while the engine works.
using ProgressFunction = std::function<void(std::uint64_t done, std::uint64_t total)>;

// What a patch's result is, for the messages about a write that was stopped half-way.
enum class ResultContent
{
    Patched,     // unknown: "the patched content"
    Translation, // a translation applied to the original
    Original     // the original put back by a reverse patch
};

struct ApplyRequest
{
    std::filesystem::path archive;
    const unsigned char* patch = nullptr;
    std::size_t patchSize = 0;
    std::filesystem::path backup;       // empty: no backup copy of the archive
    std::filesystem::path reversePatch; // empty: the reverse patch is built and dropped
    std::filesystem::path patchFile;    // the file the patch was read from, if any; never written
    ResultContent content = ResultContent::Patched;
    ProgressFunction progress;
};

// Applies the request's patch to its archive. Nothing is written before the patch's structure,
// the archive's write access, the free space beside it and the archive's hash have been checked;
// the new content must have the patch's result hash before it replaces the archive, and the
// reverse patch is in place before the archive is replaced. The archive is replaced by a rename;
// where another program holds it open so that it can't be replaced but may be written, the
// verified content is written into it in place instead, under a journal that lets the next run
// finish or undo that write. Errors: BadMagic, Malformed, NotFound/ReadFailed (archive),
// AccessDenied (archive can't be opened for writing or replaced), InUse (another program holds
// it), NoSpace, SourceMismatch, ResultMismatch, BackupFailed, WriteFailed; Other when two of the
// request's files are one file (the backup or the reverse patch would overwrite the archive, each
// other or the patch) or another run works on the archive. On any error the archive is as it was.
Status applyPatchToArchive(const ApplyRequest& request);

// What a run found of runs that were stopped before they ended.
struct RecoveryReport
{
    enum class Outcome
    {
        Nothing,   // nothing to finish (leftover temporaries are cleared silently)
        Completed, // an interrupted in-place write was finished: the archive is patched
        Undone,    // it was undone: the archive is as it was before that run
        LeftAlone, // the archive was changed by another program since: left as it is
        Failed     // neither could be done; the message says what the player can do
    };
    Outcome outcome = Outcome::Nothing;
    std::string message; // for the player; empty with Nothing
};

// Finishes or undoes what a stopped run left half-done in the archive (an in-place write), then
// removes what stopped runs left beside the archive, the backup and the reverse patch (their
// temporary files, the one beside the archive as big as the archive). Only our exact temporary
// names, regular files only; nothing while another run works on the archive (then it is that
// run's work). Empty backup or reverse patch paths are skipped. Call it when a program starts
// working with an archive, and show the message.
RecoveryReport recoverKilledRun(const std::filesystem::path& archive,
                                const std::filesystem::path& backup,
                                const std::filesystem::path& reversePatch);

class ByteOutput;

// Sequential byte streams for the streaming pass; files in the engine, memory in the fuzzer.
class ByteInput
{
public:
    enum class Moved
    {
        NotHere, // this input can't move spans itself: read and write them
        Done,
        ReadFailed,
        WriteFailed
    };
    using SeenFunction = std::function<void(const unsigned char*, std::size_t)>;

    virtual ~ByteInput() = default;
    // Reads exactly `size` bytes; false when they are not all there.
    virtual bool read(unsigned char* buffer, std::size_t size) = 0;
    // Moves the next `size` bytes unchanged to the end of `output`, the way the system moves
    // them fastest, and shows each piece to `seen` (in order) as it is read, for hashing.
    virtual Moved moveTo(ByteOutput& output, std::uint64_t size, const SeenFunction& seen)
    {
        (void)output;
        (void)size;
        (void)seen;
        return Moved::NotHere;
    }
};

class ByteOutput
{
public:
    virtual ~ByteOutput() = default;
    virtual bool write(const unsigned char* data, std::size_t size) = 0;
    // Room at the end of the output to read bytes into, so that they need no copy of their own:
    // at most `size` bytes (lowered to what fits), filled and then committed; nullptr where the
    // output has no such room (then write()).
    virtual unsigned char* room(std::size_t& size)
    {
        (void)size;
        return nullptr;
    }
    virtual bool commit(std::size_t size)
    {
        (void)size;
        return false;
    }
    // For an input that copies between files itself: the descriptor of the output's file, once
    // everything written before has reached it, or -1 (then the bytes go through write()).
    virtual int settledDescriptor() { return -1; }
    // Tells the output that `size` bytes were added to its file through that descriptor.
    virtual void addedDirectly(std::uint64_t size) { (void)size; }
};

struct StreamResult
{
    Status status;
    std::uint64_t resultHash = 0; // hash of everything written to the output
    std::vector<unsigned char> reversePatch;
};

// The streaming pass: reads the source of `sourceSize` bytes once from `input`, writes the
// patched content to `output` and builds the reverse patch. `summary` must come from checkPatch
// with the same `sourceSize`. `progressBase`/`progressTotal` place this pass's work in the
// caller's progress.
StreamResult streamPatch(const unsigned char* patch, std::size_t patchSize,
                         const PatchSummary& summary, std::uint64_t sourceSize, ByteInput& input,
                         ByteOutput& output, const ProgressFunction& progress = {},
                         std::uint64_t progressBase = 0, std::uint64_t progressTotal = 0);

enum class ArchiveState
{
    Original,
    Patched,
    Unknown
};

// Whether the archive holds the patch's source or its result (one hash pass over the archive).
// A patch whose source and result hashes are equal counts as applied.
Result<ArchiveState> archiveState(const std::filesystem::path& archive, const unsigned char* patch,
                                  std::size_t patchSize);

// Builds the reverse patch of `forward` anew from a copy of the original archive (the backup the
// engine keeps): the forward patch is streamed over `original`, whose hash must be the patch's
// source hash and whose patched content must have the patch's result hash. Nothing is written.
// The way back for a translated archive whose reverse patch was lost or damaged.
Result<std::vector<unsigned char>> rebuildReversePatch(const unsigned char* forward,
                                                       std::size_t forwardSize,
                                                       const std::filesystem::path& original);

} // namespace qdt
