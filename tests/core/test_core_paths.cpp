// The archive path rule and the conversion of the program's path strings to native paths.
#include <gtest/gtest.h>

#include "core/ArchivePath.h"
#include "game/platform/NativePath.h"

namespace {

struct ArchiveCase
{
    const char* gamePath;
    const char* archive;
};

TEST(ArchivePath, FollowsTheLastSeparatorOfEitherKind)
{
    const ArchiveCase cases[] = {
        {"D:/Game/Bin/QuenDara.exe", "D:/Game/Bin/..\\..\\ZNGame\\data.lpk"},
        {"D:\\Game\\Bin\\QuenDara.exe", "D:\\Game\\Bin\\..\\..\\ZNGame\\data.lpk"},
        {"D:\\Game/Bin\\QuenDara.exe", "D:\\Game/Bin\\..\\..\\ZNGame\\data.lpk"},
        {"QuenDara.exe", "..\\..\\ZNGame\\data.lpk"},
        {"", "..\\..\\ZNGame\\data.lpk"},
        {"C:\\Игры\\Quen Dara\\bin\\x64\\QuenDara.exe",
         "C:\\Игры\\Quen Dara\\bin\\x64\\..\\..\\ZNGame\\data.lpk"},
        {"/games/qd/bin/", "/games/qd/bin/..\\..\\ZNGame\\data.lpk"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qdt::archivePath(c.gamePath), c.archive) << c.gamePath;
        std::string folder = c.archive;
        folder.resize(folder.size() - std::string("data.lpk").size());
        EXPECT_EQ(qdt::contentFolder(c.gamePath), folder) << c.gamePath;
    }
}

#ifndef _WIN32
TEST(NativePath, ResolvesBackslashesAndDotDotOnUnix)
{
    EXPECT_EQ(qdt::nativePath("/games/qd/bin/x64/..\\..\\ZNGame\\data.lpk").string(),
              "/games/qd/ZNGame/data.lpk");
    EXPECT_EQ(qdt::nativePath("\\games\\qd\\bin\\x64\\..\\..\\ZNGame\\data.lpk").string(),
              "/games/qd/ZNGame/data.lpk");
    EXPECT_EQ(qdt::nativePath("..\\..\\ZNGame\\data.lpk").string(), "../../ZNGame/data.lpk");
}
#endif

} // namespace
