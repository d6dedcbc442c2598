// The Linux side of the platform layer for games under Wine: the prefix's registry files and its
// drives, read from prefixes laid out the way Wine writes them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/FileIo.h"
#include "game/platform/GameLookup.h"
#include "game/platform/NativePath.h"
#include "game/platform/Platform.h"
#include "game/platform/WinePrefix.h"

namespace fs = std::filesystem;

namespace {

TEST(WineRegistryString, DecodesTheFilesEscapes)
{
    struct Case
    {
        const char* escaped;
        const char* decoded;
    };
    const Case cases[] = {
        {"C:\\\\Games\\\\QD", "C:\\Games\\QD"},
        {"say \\\"hi\\\"", "say \"hi\""},
        {"\\x41a\\x432\\x435\\x43d", "Квен"},
        // Wine writes four digits when a hex digit follows, to keep the two apart.
        {"\\x0414a", "Дa"},
        {"\\xd83d\\xde00", "\xF0\x9F\x98\x80"},
        {"tab\\there\\n", "tab\there\n"},
        {"\\033x", "\x1bx"},
        {"raw Игры", "raw Игры"},
        {"\\[key\\]", "[key]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(qdt::decodeWineRegistryString(c.escaped), std::string(c.decoded)) << c.escaped;
    EXPECT_EQ(qdt::decodeWineRegistryString("a\\0b"), std::string("a\0b", 3));
}

class Prefix : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        root = fs::temp_directory_path() / ("qdt-prefix-" + std::to_string(stamp));
        fs::create_directories(root / "drive_c");
        fs::create_directories(root / "dosdevices");
        fs::create_directory_symlink("../drive_c", root / "dosdevices" / "c:");
        fs::create_directory_symlink("/", root / "dosdevices" / "z:");
        if (const char* old = std::getenv("WINEPREFIX"))
            saved = old;
        ::setenv("WINEPREFIX", root.c_str(), 1);
    }
    void TearDown() override
    {
        if (saved.empty())
            ::unsetenv("WINEPREFIX");
        else
            ::setenv("WINEPREFIX", saved.c_str(), 1);
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void write(const char* name, const std::string& text)
    {
        std::ofstream(root / name, std::ios::binary) << text;
    }
    void touch(const fs::path& relative)
    {
        fs::create_directories((root / relative).parent_path());
        std::ofstream(root / relative) << "x";
    }

    fs::path root;
    std::string saved;
};

const char* kUserReg =
    "WINE REGISTRY Version 2\r\n"
    ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\r\n"
    "\r\n"
    "#arch=win64\r\n"
    "\r\n"
    "[Software\\\\KVTR\\\\Apps] 1700000000\r\n"
    "#time=1d9a1b2c3d4e5f6\r\n"
    "\"GamePath\"=\"C:\\\\wrong key\"\r\n"
    "\r\n"
    "[software\\\\kvtr\\\\apps\\\\45] 1700000001\r\n"
    "#time=1d9a1b2c3d4e5f6\r\n"
    "\"Blob\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n"
    "  \"GamePath\"=\"C:\\\\not a value\"\r\n"
    "\"Build\"=dword:0000002a\r\n"
    "\"EXECNAME\"=\"bin\\\\QuenDara.exe -launch_from_launcher\"\r\n"
    "\"Expand\"=str(2):\"%ProgramFiles%\\\\QD\"\r\n"
    "@=\"default value\"\r\n"
    "\"gamepath\"=\"C:\\\\\\x418\\x433\\x440\\x44b\\\\Quen \\\"Dara\\\"\"\r\n"
    "\r\n"
    "[Software\\\\KVTR\\\\Apps\\\\46] 1700000002\r\n"
    "\"Other\"=\"not in 45\"\r\n";

TEST_F(Prefix, ReadsTheLaunchersKeyFromUserReg)
{
    write("user.reg", kUserReg);
    using qdt::RegistryHive;
    const std::string key = "Software\\KVTR\\Apps\\45";
    EXPECT_EQ(qdt::readRegistryString(RegistryHive::CurrentUser, key, "GamePath"),
              "C:\\Игры\\Quen \"Dara\"");
    EXPECT_EQ(qdt::readRegistryString(RegistryHive::CurrentUser, key, "Build"), "42");
    EXPECT_EQ(qdt::readRegistryString(RegistryHive::CurrentUser, key, "Expand"),
              "%ProgramFiles%\\QD");
    EXPECT_EQ(qdt::readRegistryString(RegistryHive::CurrentUser, key, ""), "default value");
    EXPECT_EQ(qdt::readRegistryString(RegistryHive::CurrentUser, key, "Blob"), "");
    // Values of the next key are not this key's.
    EXPECT_EQ(qdt::readRegistryString(RegistryHive::CurrentUser, key, "Other"), "");
    EXPECT_EQ(qdt::readRegistryString(RegistryHive::LocalMachine, key, "GamePath"), "");
    EXPECT_EQ(qdt::gamePathFromRegistry(), "C:\\Игры\\Quen \"Dara\"\\bin\\QuenDara.exe");
}

TEST_F(Prefix, FallsBackToTheUninstallersIconInSystemReg)
{
    write("user.reg", "WINE REGISTRY Version 2\n\n[Software\\\\KVTR\\\\Apps\\\\45] 1\n"
                      "\"ExecName\"=\"bin\\\\QuenDara.exe -launch_from_launcher\"\n");
    write("system.reg",
          "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
          "[Software\\\\Wow6432Node\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\"
          "QUEN DARA_ORBEX] 1700000000\n"
          "#time=1d9\n"
          "\"DisplayIcon\"=\"D:\\\\Quen Dara\\\\bin\\\\QuenDara.exe\"\n");
    EXPECT_EQ(qdt::gamePathFromRegistry(), "D:\\Quen Dara\\bin\\QuenDara.exe");
    fs::remove(root / "system.reg");
    EXPECT_EQ(qdt::gamePathFromRegistry(), "");
}

TEST_F(Prefix, MapsDrivePathsToFilesFoundWithoutRegardToCase)
{
    touch("drive_c/Games/Quen Dara/ZNGame/data.lpk");
    touch("drive_c/Games/Quen Dara/bin/x64/QuenDara.exe");
    const fs::path archive = root / "drive_c/Games/Quen Dara/ZNGame/data.lpk";

    const fs::path mapped =
        qdt::nativePath("C:\\GAMES\\quen dara\\Bin\\X64\\..\\..\\zngame\\DATA.LPK");
    EXPECT_TRUE(fs::exists(mapped)) << mapped;
    EXPECT_TRUE(fs::equivalent(mapped, archive)) << mapped;
    EXPECT_TRUE(fs::equivalent(qdt::nativePath("c:/Games/Quen Dara/ZNGame/data.lpk"), archive));
    // ".." never climbs above the drive's root, as on Windows.
    EXPECT_TRUE(
        fs::equivalent(qdt::nativePath("C:\\..\\..\\games\\QUEN DARA\\zngame\\data.lpk"), archive));
    // The Z: drive is the Unix root.
    EXPECT_TRUE(fs::equivalent(qdt::nativePath("Z:" + archive.string()), archive));

    // What is missing stays as written, inside the drive.
    const fs::path missing = qdt::nativePath("C:\\Games\\Nowhere\\data.lpk");
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_EQ(missing, root / "dosdevices" / "c:" / "Games" / "Nowhere" / "data.lpk");
    // A drive the prefix does not have leads nowhere.
    EXPECT_FALSE(fs::exists(qdt::nativePath("Q:\\Games\\Quen Dara\\ZNGame\\data.lpk")));
}

TEST(WinePrefixLocation, IsWineprefixElseDotWineInHome)
{
    const char* oldPrefix = std::getenv("WINEPREFIX");
    const std::string savedPrefix = oldPrefix ? oldPrefix : "";
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    ::setenv("WINEPREFIX", "/srv/games/pfx", 1);
    EXPECT_EQ(qdt::winePrefix(), fs::path("/srv/games/pfx"));
    ::unsetenv("WINEPREFIX");
    ::setenv("HOME", "/home/иван", 1);
    EXPECT_EQ(qdt::winePrefix(), qdt::pathFromUtf8("/home/иван/.wine"));
    ::setenv("HOME", savedHome.c_str(), 1);
    if (!savedPrefix.empty())
        ::setenv("WINEPREFIX", savedPrefix.c_str(), 1);
}

} // namespace
