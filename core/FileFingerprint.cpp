#include "core/FileFingerprint.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "core/FileIo.h"
#include "core/LongPath.h"
#include "core/Xxh64.h"

namespace qdt {

namespace {

using R = Result<FileFingerprint>;

#ifdef _WIN32
R fromHandle(HANDLE h, const std::string& name)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info))
        return R::failure(ErrorKind::ReadFailed, "Can't read the attributes of " + name);
    const auto join = [](DWORD high, DWORD low) {
        return (static_cast<std::uint64_t>(high) << 32) | low;
    };
    FileFingerprint f;
    f.device = info.dwVolumeSerialNumber;
    f.file = join(info.nFileIndexHigh, info.nFileIndexLow);
    f.size = join(info.nFileSizeHigh, info.nFileSizeLow);
    f.modified = static_cast<std::int64_t>(
        join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime));
    f.changed = static_cast<std::int64_t>(
        join(info.ftCreationTime.dwHighDateTime, info.ftCreationTime.dwLowDateTime));
    return R::success(f);
}
#else
FileFingerprint fromStat(const struct stat& st)
{
    FileFingerprint f;
    f.device = static_cast<std::uint64_t>(st.st_dev);
    f.file = static_cast<std::uint64_t>(st.st_ino);
    f.size = static_cast<std::uint64_t>(st.st_size);
    f.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    f.changed = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return f;
}
#endif

} // namespace

Result<FileFingerprint> fingerprintOf(const std::filesystem::path& path)
{
#ifdef _WIN32
    HANDLE h = CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return R::failure(ErrorKind::NotFound, "Can't find " + displayPath(path));
    R r = fromHandle(h, displayPath(path));
    CloseHandle(h);
    return r;
#else
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0)
        return R::failure(ErrorKind::NotFound, "Can't find " + displayPath(path));
    return R::success(fromStat(st));
#endif
}

Result<FileFingerprint> fingerprintOf(std::FILE* file)
{
#ifdef _WIN32
    return fromHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), "an open file");
#else
    struct stat st
    {
    };
    if (::fstat(::fileno(file), &st) != 0)
        return R::failure(ErrorKind::ReadFailed, "Can't read the attributes of an open file");
    return R::success(fromStat(st));
#endif
}

std::optional<std::uint64_t> RememberedHash::known(const std::filesystem::path& path) const
{
    if (!valid_ || path != path_)
        return std::nullopt;
    const auto now = fingerprintOf(path);
    if (!now || now.value != fingerprint_)
        return std::nullopt;
    return hash_;
}

Result<std::uint64_t> RememberedHash::hash(const std::filesystem::path& path)
{
    if (const auto remembered = known(path))
        return Result<std::uint64_t>::success(*remembered);
    valid_ = false;
    auto file = openFile(path, FileMode::Read);
    if (!file)
        return Result<std::uint64_t>::failure(file.status);
    const auto before = fingerprintOf(file.value.get());
    const auto digest = hashOpenFile(file.value.get(), displayPath(path));
    if (!digest)
        return digest;
    const auto after = fingerprintOf(file.value.get());
    const auto named = fingerprintOf(path);
    if (before && after && named && before.value == after.value && after.value == named.value) {
        path_ = path;
        fingerprint_ = after.value;
        hash_ = digest.value;
        valid_ = true;
    }
    return digest;
}

void RememberedHash::remember(const std::filesystem::path& path, std::uint64_t hash)
{
    const auto now = fingerprintOf(path);
    valid_ = now.ok();
    if (!valid_)
        return;
    path_ = path;
    fingerprint_ = now.value;
    hash_ = hash;
}

} // namespace qdt
