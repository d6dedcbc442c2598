#include "core/FileIo.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#endif

#include "core/LongPath.h"

namespace qdt {

namespace {

ErrorKind kindForErrno(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return ErrorKind::NotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
#ifdef ETXTBSY
    case ETXTBSY:
#endif
        return ErrorKind::AccessDenied;
    default:
        return ErrorKind::Other;
    }
}

} // namespace

std::string displayPath(const std::filesystem::path& path)
{
#if defined(__cpp_char8_t)
    auto s = path.u8string();
    return std::string(s.begin(), s.end());
#else
    return path.u8string();
#endif
}

std::filesystem::path pathFromUtf8(const std::string& utf8)
{
#if defined(__cpp_char8_t)
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
#else
    return std::filesystem::u8path(utf8);
#endif
}

Result<FilePtr> openFile(const std::filesystem::path& path, FileMode mode)
{
    // Only regular files hold archives and patches. A FIFO would block the open itself, a device
    // such as /dev/zero never ends, and a folder can't be read: all are refused before opening.
    if (mode != FileMode::Create) {
        std::error_code ec;
        const auto type = std::filesystem::status(systemPath(path), ec).type();
        if (!ec && type != std::filesystem::file_type::regular &&
            type != std::filesystem::file_type::not_found)
            return Result<FilePtr>::failure(ErrorKind::AccessDenied,
                                            "Can't open " + displayPath(path) +
                                                ": it is not a regular file");
    }
    std::FILE* f = nullptr;
#ifdef _WIN32
    const wchar_t* m = mode == FileMode::Read        ? L"rb"
                       : mode == FileMode::ReadWrite ? L"r+b"
                                                     : L"wb";
    errno = 0;
    f = _wfopen(systemPath(path).c_str(), m);
#else
    const char* m = mode == FileMode::Read ? "rb" : mode == FileMode::ReadWrite ? "r+b" : "wb";
    errno = 0;
    f = std::fopen(path.c_str(), m);
#endif
    if (!f) {
        const int err = errno;
        std::string what = mode == FileMode::Read ? "reading" : "writing";
#ifdef _WIN32
        // Windows says "permission denied" too when another program holds the file without
        // sharing it; the system's own error code tells the two apart.
        const unsigned long systemError = _doserrno;
        if (systemError == ERROR_SHARING_VIOLATION || systemError == ERROR_LOCK_VIOLATION)
            return Result<FilePtr>::failure(ErrorKind::InUse, "Can't open " + displayPath(path) +
                                                                  " for " + what +
                                                                  ": another program is using it");
#endif
        return Result<FilePtr>::failure(kindForErrno(err), "Can't open " + displayPath(path) +
                                                               " for " + what + ": " +
                                                               std::strerror(err));
    }
    return Result<FilePtr>::success(FilePtr(f));
}

Result<std::vector<unsigned char>> readWholeFile(const std::filesystem::path& path,
                                                 std::uint64_t maxSize)
{
    using R = Result<std::vector<unsigned char>>;
    auto file = openFile(path, FileMode::Read);
    if (!file)
        return R::failure(file.status);
    const std::string tooLarge =
        displayPath(path) + " is larger than " + std::to_string(maxSize) + " bytes";
    std::error_code ec;
    const std::uint64_t size = std::filesystem::file_size(systemPath(path), ec);
    if (!ec && size > maxSize)
        return R::failure(ErrorKind::Unsupported, tooLarge);
    // One allocation of the file's size; reading goes on past it only if the file grows.
    std::vector<unsigned char> data(ec ? 0 : static_cast<std::size_t>(size));
    std::size_t got = data.empty() ? 0 : std::fread(data.data(), 1, data.size(), file.value.get());
    data.resize(got);
    std::vector<unsigned char> block(64 * 1024);
    while (got == data.size() && !std::ferror(file.value.get())) {
        const std::size_t n = std::fread(block.data(), 1, block.size(), file.value.get());
        if (n == 0)
            break;
        if (data.size() + n > maxSize)
            return R::failure(ErrorKind::Unsupported, tooLarge);
        data.insert(data.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n));
        got = data.size();
    }
    if (std::ferror(file.value.get()))
        return R::failure(ErrorKind::ReadFailed, "Can't read " + displayPath(path));
    return R::success(std::move(data));
}

Status flushToDisk(std::FILE* file, const std::filesystem::path& pathForMessages)
{
    if (std::fflush(file) != 0)
        return Status::failure(ErrorKind::WriteFailed, "Can't write " +
                                                           displayPath(pathForMessages) + ": " +
                                                           std::strerror(errno));
#ifdef _WIN32
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (h == INVALID_HANDLE_VALUE || !FlushFileBuffers(h))
        return Status::failure(ErrorKind::WriteFailed,
                               "Can't flush " + displayPath(pathForMessages) + " to disk");
#else
    if (::fsync(fileno(file)) != 0)
        return Status::failure(ErrorKind::WriteFailed, "Can't flush " +
                                                           displayPath(pathForMessages) +
                                                           " to disk: " + std::strerror(errno));
#endif
    return Status::success();
}

Status replaceFile(const std::filesystem::path& from, const std::filesystem::path& to)
{
#ifdef _WIN32
    if (!MoveFileExW(systemPath(from).c_str(), systemPath(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD err = GetLastError();
        // A file that another program holds open without delete sharing can't be replaced, and
        // Windows reports that as "access denied" as often as a sharing violation.
        const ErrorKind kind = (err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION)
                                   ? ErrorKind::InUse
                               : err == ERROR_ACCESS_DENIED ? ErrorKind::AccessDenied
                               : err == ERROR_DISK_FULL     ? ErrorKind::NoSpace
                                                            : ErrorKind::WriteFailed;
        return Status::failure(kind, "Can't replace " + displayPath(to) + " (Windows error " +
                                         std::to_string(err) + ")");
    }
#else
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        const int err = errno;
        return Status::failure(kindForErrno(err) == ErrorKind::Other ? ErrorKind::WriteFailed
                                                                     : kindForErrno(err),
                               "Can't replace " + displayPath(to) + ": " + std::strerror(err));
    }
    // Make the rename itself durable.
    const auto dir = to.parent_path().empty() ? std::filesystem::path(".") : to.parent_path();
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#endif
    return Status::success();
}

bool heldAgainstReplacement(const std::filesystem::path& path)
{
#ifdef _WIN32
    HANDLE h = CreateFileW(systemPath(path).c_str(), DELETE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(h);
    return false;
#else
    (void)path;
    return false;
#endif
}

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b)
{
    std::error_code ec;
    return sameEntry(a, b) || std::filesystem::equivalent(systemPath(a), systemPath(b), ec);
}

bool sameEntry(const std::filesystem::path& a, const std::filesystem::path& b)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path absA = fs::absolute(a, ec);
    const fs::path absB = fs::absolute(b, ec);
    const fs::path nameA = absA.filename(), nameB = absB.filename();
#ifdef _WIN32
    // Windows file names match without regard to case.
    if (_wcsicmp(nameA.c_str(), nameB.c_str()) != 0)
        return false;
#else
    if (nameA != nameB)
        return false;
#endif
    // The same name in one folder, however the folder is spelled or reached.
    std::error_code sameError;
    const bool sameFolder =
        fs::equivalent(systemPath(absA.parent_path()), systemPath(absB.parent_path()), sameError);
    if (!sameError)
        return sameFolder;
    return fs::weakly_canonical(absA.parent_path(), ec) ==
           fs::weakly_canonical(absB.parent_path(), ec);
}

std::string changeStamp(std::FILE* file)
{
#ifdef _WIN32
    BY_HANDLE_FILE_INFORMATION info{};
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info))
        return {};
    return std::to_string(info.ftLastWriteTime.dwHighDateTime) + ":" +
           std::to_string(info.ftLastWriteTime.dwLowDateTime) + ":" +
           std::to_string(info.nFileSizeHigh) + ":" + std::to_string(info.nFileSizeLow);
#else
    struct stat st
    {
    };
    if (::fstat(::fileno(file), &st) != 0)
        return {};
    return std::to_string(st.st_mtim.tv_sec) + ":" + std::to_string(st.st_mtim.tv_nsec) + ":" +
           std::to_string(st.st_ctim.tv_sec) + ":" + std::to_string(st.st_ctim.tv_nsec) + ":" +
           std::to_string(st.st_size);
#endif
}

void copyOwnership(const std::filesystem::path& from, const std::filesystem::path& to,
                   bool withAttributes)
{
    // Through the file once it is open: what is opened is what gets the owner.
    auto file = openFile(to, FileMode::Read);
    if (file)
        copyOwnership(from, file.value.get(), withAttributes);
}

void copyOwnership(const std::filesystem::path& from, std::FILE* to, bool withAttributes)
{
#ifdef _WIN32
    (void)from;
    (void)to;
    (void)withAttributes;
#else
    struct stat st
    {
    };
    const int fd = ::fileno(to);
    if (::stat(from.c_str(), &st) != 0)
        return;
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        // Only root may give a file away; for anyone else it stays theirs.
    }
    ::fchmod(fd, st.st_mode & (withAttributes ? 07777 : 0666));
#ifdef __linux__
    if (!withAttributes)
        return;
    const ssize_t listSize = ::listxattr(from.c_str(), nullptr, 0);
    if (listSize <= 0)
        return;
    std::vector<char> names(static_cast<std::size_t>(listSize));
    const ssize_t got = ::listxattr(from.c_str(), names.data(), names.size());
    for (ssize_t i = 0; got > 0 && i < got;) {
        const char* name = names.data() + i;
        const ssize_t valueSize = ::getxattr(from.c_str(), name, nullptr, 0);
        if (valueSize >= 0) {
            std::vector<char> value(static_cast<std::size_t>(valueSize));
            if (::getxattr(from.c_str(), name, value.data(), value.size()) == valueSize)
                ::fsetxattr(fd, name, value.data(), value.size(), 0);
        }
        i += static_cast<ssize_t>(std::strlen(name)) + 1;
    }
#endif
#endif
}

Result<std::vector<std::filesystem::path>> folderEntries(const std::filesystem::path& folder)
{
    using R = Result<std::vector<std::filesystem::path>>;
    std::vector<std::filesystem::path> names;
#ifdef _WIN32
    const std::filesystem::path pattern = systemPath(folder.empty() ? L"." : folder) / L"*";
    WIN32_FIND_DATAW found{};
    HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                nullptr, 0);
    if (h == INVALID_HANDLE_VALUE)
        return R::failure(ErrorKind::NotFound, "Can't list " + displayPath(folder));
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.emplace_back(name);
    } while (FindNextFileW(h, &found));
    FindClose(h);
#else
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder.empty() ? "." : folder, ec), end;
         !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename());
    if (ec)
        return R::failure(ErrorKind::NotFound, "Can't list " + displayPath(folder));
#endif
    return R::success(std::move(names));
}

bool isTemporarySiblingName(const std::string& name, const std::string& targetName)
{
    const std::string stem = targetName + ".tmp-";
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

std::filesystem::path temporarySibling(const std::filesystem::path& target)
{
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
#ifdef _WIN32
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(::getpid());
#endif
    std::filesystem::path tmp = target;
    tmp += pathFromUtf8(".tmp-" + std::to_string(pid) + "-" + std::to_string(stamp % 1000000) +
                        "-" + std::to_string(counter++));
    return tmp;
}

Status writeFileFlushed(const std::filesystem::path& path, const void* data, std::size_t size,
                        const std::filesystem::path& nameForMessages)
{
    Status status;
    {
        auto file = openFile(path, FileMode::Create);
        if (!file)
            return file.status;
        if (size > 0 && std::fwrite(data, 1, size, file.value.get()) != size)
            status = Status::failure(ErrorKind::WriteFailed, "Can't write " +
                                                                 displayPath(nameForMessages) +
                                                                 ": " + std::strerror(errno));
        if (status.ok())
            status = flushToDisk(file.value.get(), nameForMessages);
        if (std::fclose(file.value.release()) != 0 && status.ok())
            status = Status::failure(ErrorKind::WriteFailed,
                                     "Can't write " + displayPath(nameForMessages));
    }
    if (!status.ok()) {
        std::error_code ec;
        std::filesystem::remove(systemPath(path), ec);
    }
    return status;
}

Status replaceAtomically(const std::filesystem::path& target,
                         const std::function<Status(const std::filesystem::path&)>& make)
{
    const auto tmp = temporarySibling(target);
    Status status = make(tmp);
    if (status.ok())
        status = replaceFile(tmp, target);
    if (!status.ok()) {
        std::error_code ec;
        std::filesystem::remove(systemPath(tmp), ec);
    }
    return status;
}

Status writeFileAtomically(const std::filesystem::path& target, const void* data, std::size_t size)
{
    return replaceAtomically(target, [&](const std::filesystem::path& tmp) {
        return writeFileFlushed(tmp, data, size, target);
    });
}

} // namespace qdt
