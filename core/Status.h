// Status: the small result value that core functions return instead of throwing.
#pragma once

#include <string>
#include <utility>

namespace qdt {

// What went wrong, coarse enough for a caller to choose a message. The detail string carries the
// specifics (file, address, byte position) for the human reading it.
enum class ErrorKind
{
    None,
    NotFound,       // a file or folder that should exist does not
    AccessDenied,   // the file exists but cannot be opened as asked
    InUse,          // another program holds the file open and does not share it as asked
    NoSpace,        // not enough free space on the disk for the work
    ReadFailed,     // an I/O error while reading
    WriteFailed,    // an I/O error while writing (disk full, file too large, ...)
    BadMagic,       // not a patch at all
    Malformed,      // a patch whose structure is broken
    SourceMismatch, // the archive is not the one the patch was built for
    ResultMismatch, // applying the patch did not produce the content it promises
    BackupFailed,   // the safety copy of the archive could not be made
    LeftDamaged,    // a write into the archive stopped half-way and could not be put right
    Cancelled,
    Unsupported,
    Other,
};

struct Status
{
    ErrorKind kind = ErrorKind::None;
    std::string detail;

    bool ok() const { return kind == ErrorKind::None; }
    explicit operator bool() const { return ok(); }

    static Status success() { return {}; }
    static Status failure(ErrorKind k, std::string d) { return {k, std::move(d)}; }
};

// A value or the reason there is none.
template <typename T> struct Result
{
    T value{};
    Status status;

    bool ok() const { return status.ok(); }
    explicit operator bool() const { return ok(); }

    static Result success(T v) { return {std::move(v), Status{}}; }
    static Result failure(ErrorKind k, std::string d) { return {T{}, Status{k, std::move(d)}}; }
    static Result failure(Status s) { return {T{}, std::move(s)}; }
};

} // namespace qdt
