#include "core/KeptAttributes.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include "core/LongPath.h"

namespace qdt {

#ifdef _WIN32

namespace {

constexpr DWORD kKeptMask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                            FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

struct Identity
{
    std::uint64_t volume = 0;
    std::uint64_t file = 0;
};

bool identityOf(HANDLE h, Identity& id)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info))
        return false;
    id.volume = info.dwVolumeSerialNumber;
    id.file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// Replaces the kept attributes of the open file by `kept` (others stay) and, when `created` is
// not zero, sets its creation time; the other times are left alone.
bool setBasicInfo(HANDLE h, DWORD kept, std::int64_t created)
{
    FILE_BASIC_INFO info{};
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info))
        return false;
    DWORD attributes = (info.FileAttributes & ~kKeptMask) | (kept & kKeptMask);
    if (attributes == 0)
        attributes = FILE_ATTRIBUTE_NORMAL;
    FILE_BASIC_INFO change{};
    change.FileAttributes = attributes;
    change.CreationTime.QuadPart = created;
    return SetFileInformationByHandle(h, FileBasicInfo, &change, sizeof change) != 0;
}

// Opens the file at `path` for its attributes only, so that a holder that shares neither reading
// nor writing does not stand in the way, and without following a link put there meanwhile.
HANDLE openForAttributes(const std::filesystem::path& path)
{
    return CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

} // namespace

KeptAttributes::KeptAttributes(const std::filesystem::path& file) : path_(file)
{
    HANDLE h = openForAttributes(file);
    if (h == INVALID_HANDLE_VALUE)
        return;
    FILE_BASIC_INFO info{};
    Identity id;
    if (GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info) && identityOf(h, id) &&
        !(info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        known_ = true;
        attributes_ = info.FileAttributes & kKeptMask;
        created_ = info.CreationTime.QuadPart;
        volume_ = id.volume;
        file_ = id.file;
        if (attributes_ & FILE_ATTRIBUTE_READONLY)
            setBasicInfo(h, attributes_ & ~FILE_ATTRIBUTE_READONLY, 0);
    }
    CloseHandle(h);
}

KeptAttributes::~KeptAttributes()
{
    if (!known_)
        return;
    const std::uint64_t volume = successorReady_ ? successorVolume_ : volume_;
    const std::uint64_t file = successorReady_ ? successorFile_ : file_;
    HANDLE h = openForAttributes(path_);
    if (h == INVALID_HANDLE_VALUE)
        return;
    Identity id;
    if (identityOf(h, id) && id.volume == volume && id.file == file)
        setBasicInfo(h, attributes_, successorReady_ ? created_ : 0);
    CloseHandle(h);
}

void KeptAttributes::prepareSuccessor(std::FILE* successor)
{
    if (!known_)
        return;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(successor)));
    Identity id;
    if (h == INVALID_HANDLE_VALUE || !identityOf(h, id))
        return;
    if (setBasicInfo(h, attributes_ & ~FILE_ATTRIBUTE_READONLY, created_)) {
        successorVolume_ = id.volume;
        successorFile_ = id.file;
        successorPrepared_ = true;
    }
}

void KeptAttributes::successorInPlace()
{
    successorReady_ = successorPrepared_;
}

#else

KeptAttributes::KeptAttributes(const std::filesystem::path& file) : path_(file) {}
KeptAttributes::~KeptAttributes() = default;
void KeptAttributes::prepareSuccessor(std::FILE*) {}
void KeptAttributes::successorInPlace() {}

#endif

} // namespace qdt
