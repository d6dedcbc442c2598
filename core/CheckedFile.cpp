#include "core/CheckedFile.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "core/FileIo.h"
#include "core/LongPath.h"

namespace qdt {

namespace {

std::filesystem::path asideName(const std::filesystem::path& path, int attempt)
{
    static std::atomic<unsigned> counter{0};
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    std::filesystem::path aside = path;
    aside += pathFromUtf8(".broken-" + std::to_string(ms) +
                          (attempt == 0 ? std::string() : "-" + std::to_string(counter++)));
    return aside;
}

} // namespace

bool renameToFreeName(const std::filesystem::path& from, const std::filesystem::path& to)
{
#ifdef _WIN32
    return MoveFileExW(systemPath(from).c_str(), systemPath(to).c_str(), 0) != 0;
#else
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
#endif
    // A file system that can't promise it: the name was free a moment ago.
    if (entryAt(to).kind != EntryKind::Missing)
        return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
#endif
}

namespace {

std::string refusedWhy(const std::filesystem::path& path, const char* what)
{
    return displayPath(path) + " is " + what;
}

} // namespace

Entry entryAt(const std::filesystem::path& path)
{
    Entry entry;
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        entry.kind = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                         ? EntryKind::Missing
                         : EntryKind::Other;
        return entry;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        entry.kind = EntryKind::Other;
        return entry;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        entry.kind = EntryKind::Folder;
        return entry;
    }
    entry.kind = EntryKind::Other;
    HANDLE h =
        CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return entry;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
        !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
        info.nNumberOfLinks == 1) {
        entry.kind = EntryKind::OwnFile;
        entry.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    }
    CloseHandle(h);
#else
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) != 0) {
        entry.kind = errno == ENOENT || errno == ENOTDIR ? EntryKind::Missing : EntryKind::Other;
        return entry;
    }
    if (S_ISDIR(st.st_mode)) {
        entry.kind = EntryKind::Folder;
    } else if (S_ISREG(st.st_mode) && st.st_nlink == 1) {
        entry.kind = EntryKind::OwnFile;
        entry.size = static_cast<std::uint64_t>(st.st_size);
    } else {
        entry.kind = EntryKind::Other;
    }
#endif
    return entry;
}

bool setAside(const std::filesystem::path& path)
{
    for (int attempt = 0; attempt < 3; ++attempt)
        if (renameToFreeName(path, asideName(path, attempt)))
            return true;
    return false;
}

bool freeName(const std::filesystem::path& path)
{
    const EntryKind kind = entryAt(path).kind;
    if (kind == EntryKind::Missing)
        return true;
    // A folder's content is never deleted: it moves aside whole.
    if (kind != EntryKind::Folder) {
#ifdef _WIN32
        // A link to a folder (or a junction) is removed as a folder is, and only the link goes.
        const DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
        const bool linkedFolder = attributes != INVALID_FILE_ATTRIBUTES &&
                                  (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                                  (attributes & FILE_ATTRIBUTE_DIRECTORY);
        if (linkedFolder ? RemoveDirectoryW(systemPath(path).c_str()) != 0
                         : DeleteFileW(systemPath(path).c_str()) != 0)
            return true;
#else
        if (::unlink(path.c_str()) == 0)
            return true;
#endif
    }
    return setAside(path) || entryAt(path).kind == EntryKind::Missing;
}

Result<std::vector<unsigned char>> readSmallRegularFile(const std::filesystem::path& path,
                                                        std::size_t maxBytes)
{
    using R = Result<std::vector<unsigned char>>;
    std::vector<unsigned char> data;
#ifdef _WIN32
    // Without backup semantics a folder can't be opened; a link or junction is opened as itself
    // and refused below.
    HANDLE h = CreateFileW(systemPath(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return R::failure(ErrorKind::NotFound, displayPath(path) + " does not exist");
        const DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return R::failure(ErrorKind::Unsupported, refusedWhy(path, "a folder"));
        return R::failure(ErrorKind::AccessDenied, "Can't open " + displayPath(path) +
                                                       " (Windows error " + std::to_string(error) +
                                                       ")");
    }
    BY_HANDLE_FILE_INFORMATION info{};
    Status status;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info)) {
        status = Status::failure(ErrorKind::Unsupported, refusedWhy(path, "not a regular file"));
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        status = Status::failure(ErrorKind::Unsupported, refusedWhy(path, "a link"));
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        status = Status::failure(ErrorKind::Unsupported, refusedWhy(path, "a folder"));
    } else if (info.nFileSizeHigh != 0 || info.nFileSizeLow > maxBytes) {
        status = Status::failure(ErrorKind::Unsupported, displayPath(path) + " is larger than " +
                                                             std::to_string(maxBytes) + " bytes");
    } else {
        data.resize(maxBytes + 1);
        std::size_t got = 0;
        while (got < data.size()) {
            DWORD n = 0;
            if (!ReadFile(h, data.data() + got, static_cast<DWORD>(data.size() - got), &n,
                          nullptr)) {
                status = Status::failure(ErrorKind::ReadFailed, "Can't read " + displayPath(path));
                break;
            }
            if (n == 0)
                break;
            got += n;
        }
        data.resize(got);
    }
    CloseHandle(h);
#else
    // Non-blocking, so that a pipe put in its place can't hold the open; never through a link.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return R::failure(ErrorKind::NotFound, displayPath(path) + " does not exist");
        if (error == ELOOP)
            return R::failure(ErrorKind::Unsupported, refusedWhy(path, "a link"));
        return R::failure(ErrorKind::AccessDenied,
                          "Can't open " + displayPath(path) + ": " + std::strerror(error));
    }
    struct stat st
    {
    };
    Status status;
    if (::fstat(fd, &st) != 0) {
        status = Status::failure(ErrorKind::ReadFailed, "Can't read " + displayPath(path));
    } else if (S_ISDIR(st.st_mode)) {
        status = Status::failure(ErrorKind::Unsupported, refusedWhy(path, "a folder"));
    } else if (!S_ISREG(st.st_mode)) {
        status = Status::failure(ErrorKind::Unsupported,
                                 refusedWhy(path, "not a regular file (a pipe or a device)"));
    } else if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        status = Status::failure(ErrorKind::Unsupported, displayPath(path) + " is larger than " +
                                                             std::to_string(maxBytes) + " bytes");
    } else {
        // One byte more than allowed tells a file that grew since from one that fits.
        data.resize(maxBytes + 1);
        std::size_t got = 0;
        while (got < data.size()) {
            const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                status = Status::failure(ErrorKind::ReadFailed, "Can't read " + displayPath(path));
                break;
            }
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        data.resize(got);
    }
    ::close(fd);
#endif
    if (!status.ok())
        return R::failure(status);
    if (data.size() > maxBytes)
        return R::failure(ErrorKind::Unsupported, displayPath(path) + " is larger than " +
                                                      std::to_string(maxBytes) + " bytes");
    return R::success(std::move(data));
}

NewFile::NewFile(NewFile&& other) noexcept
{
    *this = std::move(other);
}

NewFile& NewFile::operator=(NewFile&& other) noexcept
{
    if (this != &other) {
        close();
#ifdef _WIN32
        handle_ = other.handle_;
        other.handle_ = nullptr;
#else
        fd_ = other.fd_;
        other.fd_ = -1;
#endif
    }
    return *this;
}

NewFile::~NewFile()
{
    close();
}

Result<NewFile> NewFile::create(const std::filesystem::path& path, bool ownerOnly)
{
    NewFile file;
#ifdef _WIN32
    (void)ownerOnly;
    // CREATE_NEW fails on any name that exists, a link included, so nothing is opened through one.
    HANDLE h =
        CreateFileW(systemPath(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return Result<NewFile>::failure(ErrorKind::AccessDenied,
                                        "Can't make " + displayPath(path) + " (Windows error " +
                                            std::to_string(GetLastError()) + ")");
    file.handle_ = h;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) || info.nNumberOfLinks != 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return Result<NewFile>::failure(ErrorKind::AccessDenied,
                                        displayPath(path) + " is not a file of its own");
#else
    // O_EXCL fails on any name that exists, a link included.
    const int fd = ::open(
        path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC | O_NOCTTY,
        ownerOnly ? 0600 : 0666);
    if (fd < 0)
        return Result<NewFile>::failure(ErrorKind::AccessDenied, "Can't make " + displayPath(path) +
                                                                     ": " + std::strerror(errno));
    file.fd_ = fd;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
        return Result<NewFile>::failure(ErrorKind::AccessDenied,
                                        displayPath(path) + " is not a file of its own");
#endif
    return Result<NewFile>::success(std::move(file));
}

bool NewFile::isOpen() const
{
#ifdef _WIN32
    return handle_ != nullptr;
#else
    return fd_ >= 0;
#endif
}

bool NewFile::append(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
#ifdef _WIN32
    if (!handle_)
        return false;
    while (size > 0) {
        DWORD n = 0;
        if (!WriteFile(static_cast<HANDLE>(handle_), bytes, static_cast<DWORD>(size), &n,
                       nullptr) ||
            n == 0)
            return false;
        bytes += n;
        size -= n;
    }
#else
    if (fd_ < 0)
        return false;
    while (size > 0) {
        const ssize_t n = ::write(fd_, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
#endif
    return true;
}

void NewFile::close()
{
#ifdef _WIN32
    if (handle_)
        CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
#else
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
#endif
}

} // namespace qdt
