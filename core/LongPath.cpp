#include "core/LongPath.h"

#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qdt {

namespace {

bool isSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

bool isLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

} // namespace

std::wstring extendedLengthPath(const std::wstring& path, std::size_t limit)
{
    if (path.size() < limit)
        return path;
    // "\\?\..." is already in that form, "\\.\..." names a device: both are used as they are.
    if (path.size() >= 4 && isSeparator(path[0]) && isSeparator(path[1]) &&
        (path[2] == L'?' || path[2] == L'.') && isSeparator(path[3]))
        return path;

    std::wstring root;
    std::size_t rest = 0;
    if (path.size() >= 3 && isLetter(path[0]) && path[1] == L':' && isSeparator(path[2])) {
        root = L"\\\\?\\" + path.substr(0, 2) + L"\\";
        rest = 3;
    } else if (isSeparator(path[0]) && isSeparator(path[1])) {
        // \\server\share\...: both names must be there.
        const std::size_t serverEnd = path.find_first_of(L"\\/", 2);
        if (serverEnd == std::wstring::npos || serverEnd == 2)
            return path;
        std::size_t shareEnd = path.find_first_of(L"\\/", serverEnd + 1);
        if (shareEnd == serverEnd + 1)
            return path;
        if (shareEnd == std::wstring::npos)
            shareEnd = path.size();
        root = L"\\\\?\\UNC\\" + path.substr(2, serverEnd - 2) + L"\\" +
               path.substr(serverEnd + 1, shareEnd - serverEnd - 1) + L"\\";
        rest = shareEnd;
    } else {
        return path; // relative, or relative to the current drive's root: the caller resolves it
    }

    std::vector<std::wstring> parts;
    for (std::size_t at = rest; at < path.size();) {
        std::size_t end = at;
        while (end < path.size() && !isSeparator(path[end]))
            ++end;
        const std::wstring part = path.substr(at, end - at);
        if (part == L"..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::wstring out = root;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            out += L'\\';
        out += parts[i];
    }
    if (isSeparator(path.back()) && !parts.empty())
        out += L'\\';
    return out;
}

std::filesystem::path systemPath(const std::filesystem::path& path)
{
#ifdef _WIN32
    const std::wstring& native = path.native();
    if (native.size() < kLongPathLimit && path.is_absolute())
        return path;
    // A relative path grows by the current folder's length: made absolute first.
    const DWORD size = GetFullPathNameW(native.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return path;
    std::wstring full(size, L'\0');
    const DWORD written = GetFullPathNameW(native.c_str(), size, full.data(), nullptr);
    if (written == 0 || written >= size)
        return path;
    full.resize(written);
    if (full.size() < kLongPathLimit)
        return path;
    return std::filesystem::path(extendedLengthPath(full));
#else
    return path;
#endif
}

} // namespace qdt
