#include "core/NativePath.h"

#include <algorithm>

#include "core/FileIo.h"

namespace qdt {

std::filesystem::path nativePath(const std::string& utf8Path)
{
#ifdef _WIN32
    return pathFromUtf8(utf8Path);
#else
    std::string s = utf8Path;
    std::replace(s.begin(), s.end(), '\\', '/');
    if (s.empty())
        return {};
    return pathFromUtf8(s).lexically_normal();
#endif
}

} // namespace qdt
