#include "core/ArchivePath.h"

namespace qdt {

std::string contentFolder(const std::string& gamePath)
{
    // UTF-8 continuation bytes never equal '\\' or '/', so a byte search is exact.
    const auto cut = gamePath.find_last_of("\\/");
    std::string folder = cut == std::string::npos ? std::string() : gamePath.substr(0, cut + 1);
    return folder + "..\\..\\ZNGame\\";
}

std::string archivePath(const std::string& gamePath)
{
    return contentFolder(gamePath) + "data.lpk";
}

} // namespace qdt
