// One patcher at a time per archive: two runs on the same archive would delete each other's
// temporary files and replace the archive from under each other.
#pragma once

#include <filesystem>
#include <memory>

#include "core/Status.h"

namespace qdt {

class ArchiveLock
{
public:
    ArchiveLock();
    ~ArchiveLock();
    ArchiveLock(ArchiveLock&&) noexcept;
    ArchiveLock& operator=(ArchiveLock&&) noexcept;

    // Takes the lock of `archive` (a path to a regular file, not a link) without waiting. Fails
    // with ErrorKind::Other, and a message that says what to do, while another run holds it. The
    // lock leaves no file behind and dies with the process that holds it.
    static Result<ArchiveLock> acquire(const std::filesystem::path& archive);

private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
};

} // namespace qdt
