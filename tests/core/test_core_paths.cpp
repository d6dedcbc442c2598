// The archive path rule and the conversion of the program's path strings to native paths.
#include <gtest/gtest.h>

#include <string>

#include "core/ArchivePath.h"
#include "core/LongPath.h"
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

// A folder name of 50 letters: five of them make a path longer than Windows takes as it is.
const std::wstring kDeep = L"\\" + std::wstring(50, L'a');
const std::wstring kDeepPath = kDeep + kDeep + kDeep + kDeep + kDeep; // 255 characters

TEST(LongPath, LongAbsolutePathsGetTheExtendedLengthForm)
{
    struct Case
    {
        std::wstring path;
        std::wstring expected;
    };
    const Case cases[] = {
        // A drive path: separators made "\", "." and ".." resolved (the \\?\ form keeps them).
        {L"C:" + kDeepPath + L"\\Игры\\data.lpk", L"\\\\?\\C:" + kDeepPath + L"\\Игры\\data.lpk"},
        {L"D:/Games" + kDeepPath + L"/bin/x64/..\\..\\ZNGame\\.\\data.lpk",
         L"\\\\?\\D:\\Games" + kDeepPath + L"\\ZNGame\\data.lpk"},
        // ".." never climbs above the drive.
        {L"C:\\..\\.." + kDeepPath, L"\\\\?\\C:" + kDeepPath},
        // A folder keeps its closing separator.
        {L"C:" + kDeepPath + L"\\", L"\\\\?\\C:" + kDeepPath + L"\\"},
        // A network share.
        {L"\\\\server\\games" + kDeepPath + L"\\data.lpk",
         L"\\\\?\\UNC\\server\\games" + kDeepPath + L"\\data.lpk"},
        {L"//server/games" + kDeepPath, L"\\\\?\\UNC\\server\\games" + kDeepPath},
    };
    for (const Case& c : cases) {
        ASSERT_GE(c.path.size(), qdt::kLongPathLimit);
        EXPECT_TRUE(qdt::extendedLengthPath(c.path) == c.expected)
            << c.path.size() << " characters, got " << qdt::extendedLengthPath(c.path).size();
    }
}

TEST(LongPath, OtherPathsStayAsTheyAre)
{
    const std::wstring unchanged[] = {
        // Short enough for Windows as they are.
        L"C:\\Games\\Quen Dara\\bin\\x64\\..\\..\\ZNGame\\data.lpk",
        std::wstring(L"C:") + std::wstring(qdt::kLongPathLimit - 3, L'a'),
        // Already extended, or a device.
        L"\\\\?\\C:" + kDeepPath + L"\\..\\x",
        L"\\\\.\\pipe" + kDeepPath,
        // Not absolute: only the system knows what they are relative to.
        L"ZNGame" + kDeepPath,
        L"C:ZNGame" + kDeepPath,
        L"\\ZNGame" + kDeepPath,
        // A share without its name.
        L"\\\\server\\" + kDeepPath,
    };
    for (const std::wstring& path : unchanged)
        EXPECT_TRUE(qdt::extendedLengthPath(path) == path) << path.size() << " characters";
    // The length from which the form is used.
    const std::wstring atLimit = L"C:\\" + std::wstring(qdt::kLongPathLimit - 3, L'a');
    EXPECT_TRUE(qdt::extendedLengthPath(atLimit) == L"\\\\?\\" + atLimit);
}

#ifdef _WIN32
// What the file layer hands to the system for a relative or a long path.
TEST(LongPath, SystemPathsAreAbsoluteAndExtendedWhenLong)
{
    const std::filesystem::path shortPath = L"C:\\Games\\data.lpk";
    EXPECT_EQ(qdt::systemPath(shortPath), shortPath);
    const std::filesystem::path longPath = L"C:" + kDeepPath + L"\\bin\\..\\data.lpk";
    EXPECT_EQ(qdt::systemPath(longPath).native(), L"\\\\?\\C:" + kDeepPath + L"\\data.lpk");
    const std::filesystem::path relative = std::filesystem::path(kDeepPath.substr(1)) / L"x";
    const std::wstring made = qdt::systemPath(relative).native();
    EXPECT_EQ(made.rfind(L"\\\\?\\", 0), 0u) << made.size();
    EXPECT_EQ(made.substr(made.size() - kDeepPath.size() - 2), kDeepPath + L"\\x");
}
#endif

} // namespace
