#include "core/ArchiveLock.h"

#include <functional>
#include <string>

#include "core/FileIo.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace qdt {

namespace {

Status busy(const std::filesystem::path& archive)
{
    return Status::failure(ErrorKind::Other,
                           "Another patcher is working on " + displayPath(archive) +
                               " right now. Wait until it has finished, then try again. "
                               "Nothing was changed.");
}

} // namespace

#ifdef _WIN32
// A named mutex per archive: a file lock would have to live beside the archive, and the archive
// itself is replaced by a rename. An abandoned mutex (its owner died) is simply taken over.
struct ArchiveLock::Handle
{
    HANDLE mutex = nullptr;
    ~Handle()
    {
        if (mutex) {
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        }
    }
};

Result<ArchiveLock> ArchiveLock::acquire(const std::filesystem::path& archive)
{
    std::error_code ec;
    std::wstring key =
        std::filesystem::weakly_canonical(std::filesystem::absolute(archive, ec), ec).wstring();
    CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    const std::wstring name =
        L"Local\\QuenDaraTranslation-" + std::to_wstring(std::hash<std::wstring>{}(key));
    ArchiveLock lock;
    lock.handle_ = std::make_unique<Handle>();
    lock.handle_->mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (!lock.handle_->mutex)
        return Result<ArchiveLock>::success(std::move(lock)); // no lock to be had: go on alone
    const DWORD waited = WaitForSingleObject(lock.handle_->mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(lock.handle_->mutex);
        lock.handle_->mutex = nullptr;
        return Result<ArchiveLock>::failure(busy(archive));
    }
    return Result<ArchiveLock>::success(std::move(lock));
}
#else
// An flock on the archive's folder: it needs no file of its own, and the kernel drops it when the
// process dies, however it dies.
struct ArchiveLock::Handle
{
    int fd = -1;
    ~Handle()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

Result<ArchiveLock> ArchiveLock::acquire(const std::filesystem::path& archive)
{
    const auto folder =
        archive.has_parent_path() ? archive.parent_path() : std::filesystem::path(".");
    ArchiveLock lock;
    lock.handle_ = std::make_unique<Handle>();
    lock.handle_->fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock.handle_->fd < 0)
        return Result<ArchiveLock>::success(std::move(lock)); // no lock to be had: go on alone
    if (::flock(lock.handle_->fd, LOCK_EX | LOCK_NB) != 0)
        return Result<ArchiveLock>::failure(busy(archive));
    return Result<ArchiveLock>::success(std::move(lock));
}
#endif

ArchiveLock::ArchiveLock() = default;
ArchiveLock::~ArchiveLock() = default;
ArchiveLock::ArchiveLock(ArchiveLock&&) noexcept = default;
ArchiveLock& ArchiveLock::operator=(ArchiveLock&&) noexcept = default;

} // namespace qdt
