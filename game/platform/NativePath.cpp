#include "game/platform/NativePath.h"

#include <algorithm>

#include "core/FileIo.h"
#include "game/platform/WinePrefix.h"

namespace qdt {

std::filesystem::path nativePath(const std::string& utf8Path)
{
#ifdef _WIN32
    return pathFromUtf8(utf8Path);
#else
    // A drive path comes from the registry or a Wine process: it means a file in the prefix.
    if (isDrivePath(utf8Path))
        return unixPathInPrefix(winePrefix(), utf8Path);
    std::string s = utf8Path;
    std::replace(s.begin(), s.end(), '\\', '/');
    if (s.empty())
        return {};
    return pathFromUtf8(s).lexically_normal();
#endif
}

} // namespace qdt
