// quen-dara-patch.exe started as a Windows process: wide command-line arguments with Cyrillic
// folder names and mixed separators, exit codes.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "core/FileIo.h"
#include "core/Xxh64.h"
#include "tests/patching/TempDir.h"
#include "tests/support/TestData.h"

namespace {

using testdata::Bytes;

// Starts the tool with its standard error in `errorFile` (when given); returns its process, or
// null.
HANDLE startTool(const std::wstring& arguments, const std::filesystem::path& errorFile = {})
{
    const std::filesystem::path tool = qdt::pathFromUtf8(QDT_TOOL);
    std::wstring commandLine = L"\"" + tool.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    HANDLE err = INVALID_HANDLE_VALUE;
    if (!errorFile.empty()) {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        err = CreateFileW(errorFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdError = err;
        startup.hStdOutput = err;
    }
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(tool.c_str(), commandLine.data(), nullptr, nullptr,
                       err != INVALID_HANDLE_VALUE, 0, nullptr, nullptr, &startup, &process);
    if (err != INVALID_HANDLE_VALUE)
        CloseHandle(err);
    if (!started)
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

DWORD waitForTool(HANDLE process)
{
    if (!process)
        return 1000;
    WaitForSingleObject(process, 120000);
    DWORD code = 999;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

DWORD runTool(const std::wstring& arguments, const std::filesystem::path& errorFile = {})
{
    return waitForTool(startTool(arguments, errorFile));
}

std::string textOf(const std::filesystem::path& p)
{
    const Bytes b = testdata::readFile(p);
    return std::string(b.begin(), b.end());
}

std::set<std::wstring> namesIn(const std::filesystem::path& dir)
{
    std::set<std::wstring> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename().wstring());
    return names;
}

std::wstring quoted(const std::filesystem::path& p)
{
    return L"\"" + p.wstring() + L"\"";
}

TEST(ToolWindows, AppliesThroughCyrillicFoldersAndMixedSeparators)
{
    TempDir dir(u8"Игры/Квен Дара");
    std::filesystem::create_directories(dir.path() / "ZNGame");
    const Bytes source = testdata::makeArchive(100000, 21);
    testdata::writeFile(dir.path() / "ZNGame" / "data.lpk", source);
    const Bytes patch =
        testdata::makePatch(source, testdata::translationEdits(source.size(), 40, 21));
    testdata::writeFile(dir.path() / u8"перевод.data", patch);

    // D:\...\Квен Дара\bin/..\ZNGame\data.lpk, the way the window builds archive paths.
    const std::wstring archive = dir.path().wstring() + L"\\bin/..\\ZNGame\\data.lpk";
    std::filesystem::create_directories(dir.path() / "bin");
    EXPECT_EQ(runTool(L"apply \"" + archive + L"\" " + quoted(dir.path() / u8"перевод.data") +
                      L" --reverse " + quoted(dir.path() / u8"обратный.data")),
              0u);
    EXPECT_EQ(testdata::readFile(dir.path() / "ZNGame" / "data.lpk"),
              testdata::applyEdits(source, testdata::translationEdits(source.size(), 40, 21)));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / u8"обратный.data"));

    // The same patch again: the archive is no longer its source.
    EXPECT_EQ(runTool(L"apply \"" + archive + L"\" " + quoted(dir.path() / u8"перевод.data")), 1u);
    EXPECT_EQ(runTool(L"apply \"" + archive + L"\" " + quoted(dir.path() / u8"обратный.data")), 0u);
    EXPECT_EQ(testdata::readFile(dir.path() / "ZNGame" / "data.lpk"), source);
}

// The launcher holding the archive for reading only: the tool refuses at once, says that another
// program is using the archive, and changes nothing.
TEST(ToolWindows, ArchiveHeldForReadingOnlyIsRefusedAsInUse)
{
    TempDir dir(u8"Игры");
    const Bytes source = testdata::makeArchive(100000, 3);
    testdata::writeFile(dir / "data.lpk", source);
    testdata::writeFile(dir / "patch.data",
                        testdata::makePatch(source, testdata::translationEdits(100000, 20, 3)));
    HANDLE held = CreateFileW((dir / "data.lpk").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const DWORD code =
        runTool(L"apply " + quoted(dir / "data.lpk") + L" " + quoted(dir / "patch.data") +
                    L" --reverse " + quoted(dir / "rev"),
                dir.root() / "stderr");
    CloseHandle(held);
    EXPECT_EQ(code, 1u);
    const std::string err = textOf(dir.root() / "stderr");
    EXPECT_NE(err.find("Another program is using"), std::string::npos) << err;
    EXPECT_NE(err.find("Nothing was changed"), std::string::npos) << err;
    EXPECT_EQ(testdata::readFile(dir / "data.lpk"), source);
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::wstring>{L"data.lpk", L"patch.data"}));
}

// The launcher holding the archive with read and write sharing but not delete sharing: the tool
// writes into the archive. It is killed at random moments of that write; the next run (status,
// with the archive still held) finishes or undoes it, so that the archive is always the source or
// the result, and nothing of ours is left beside it.
TEST(ToolWindows, KilledInPlaceWriteIsSettledByTheNextRun)
{
    TempDir dir(u8"Игры/Квен Дара");
    const std::filesystem::path archive = dir / "data.lpk";
    const std::uint64_t size = 24u << 20;
    testdata::writeArchive(archive, size, 14);
    const Bytes source = testdata::readFile(archive);
    const Bytes patch = testdata::makePatch(source, testdata::translationEdits(size, 2000, 14));
    testdata::writeFile(dir.root() / "patch.data", patch);
    const auto sourceHash = qdt::hashFile(archive).value;
    std::uint64_t resultHash = 0;
    for (int i = 7; i >= 0; --i)
        resultHash = (resultHash << 8) | patch[16 + static_cast<std::size_t>(i)];
    const std::filesystem::path journal = dir / "data.lpk.patching";
    const std::wstring forward =
        L"apply " + quoted(archive) + L" " + quoted(dir.root() / "patch.data") + L" --reverse " +
        quoted(dir.root() / "rev") + L" --backup " + quoted(dir.root() / "backup.lpk");
    const std::wstring back = L"apply " + quoted(archive) + L" " + quoted(dir.root() / "rev");

    HANDLE held = CreateFileW(archive.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ASSERT_EQ(runTool(forward, dir.root() / "stderr"), 0u) << textOf(dir.root() / "stderr");
    ASSERT_EQ(qdt::hashFile(archive).value, resultHash);
    ASSERT_EQ(qdt::hashFile(dir.root() / "backup.lpk").value, sourceHash);
    ASSERT_EQ(runTool(back, dir.root() / "stderr"), 0u) << textOf(dir.root() / "stderr");
    ASSERT_EQ(qdt::hashFile(archive).value, sourceHash);

    std::mt19937 rng(99);
    int mixed = 0;
    for (int round = 0; round < 8; ++round) {
        const bool patched = qdt::hashFile(archive).value == resultHash;
        HANDLE tool = startTool(patched ? back : forward, dir.root() / "stderr");
        ASSERT_NE(tool, nullptr);
        // The kill falls inside the in-place write: after the journal appears, within the time
        // that copying the archive takes here.
        for (int i = 0; i < 20000 && WaitForSingleObject(tool, 0) == WAIT_TIMEOUT &&
                        !std::filesystem::exists(journal);
             ++i)
            Sleep(1);
        Sleep(rng() % 40);
        TerminateProcess(tool, 9);
        waitForTool(tool);
        const auto hash = qdt::hashFile(archive).value;
        if (hash != sourceHash && hash != resultHash)
            ++mixed;

        ASSERT_EQ(runTool(L"status " + quoted(archive) + L" " + quoted(dir.root() / "patch.data"),
                          dir.root() / "stderr"),
                  0u)
            << textOf(dir.root() / "stderr");
        const auto after = qdt::hashFile(archive).value;
        ASSERT_TRUE(after == sourceHash || after == resultHash)
            << "round " << round << ": " << textOf(dir.root() / "stderr");
        ASSERT_EQ(namesIn(dir.path()), std::set<std::wstring>{L"data.lpk"}) << "round " << round;
        ASSERT_EQ(qdt::hashFile(dir.root() / "backup.lpk").value, sourceHash);
    }
    CloseHandle(held);
    std::printf("killed in-place writes left a half-written archive %d times\n", mixed);
}

// What Windows and Explorer read from the program file itself: a manifest that runs it with the
// player's own rights (a script or a shell is not elevated), for the same Windows versions as
// the window, with long paths and UTF-8 as its code page; the version; the icon.
std::set<std::string> supportedOs(const std::string& manifest)
{
    std::set<std::string> ids;
    const std::regex id("<supportedOS Id=\"(\\{[0-9a-fA-F-]+\\})\"");
    for (std::sregex_iterator it(manifest.begin(), manifest.end(), id), end; it != end; ++it)
        ids.insert((*it)[1]);
    return ids;
}

std::wstring versionString(const std::vector<char>& info, const wchar_t* name)
{
    void* value = nullptr;
    UINT size = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueW(info.data(), key.c_str(), &value, &size) || size == 0)
        return {};
    return std::wstring(static_cast<const wchar_t*>(value), size - 1);
}

TEST(ToolWindows, CarriesItsManifestVersionAndIcon)
{
    const std::filesystem::path tool = qdt::pathFromUtf8(QDT_TOOL);
    HMODULE module = LoadLibraryExW(tool.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    std::string manifest;
    if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
        const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
        manifest.assign(bytes, SizeofResource(module, found));
    }
    int icons = 0;
    EnumResourceNamesW(
        module, MAKEINTRESOURCEW(14),
        [](HMODULE, LPCWSTR, LPWSTR, LONG_PTR count) -> BOOL {
            ++*reinterpret_cast<int*>(count);
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&icons));
    FreeLibrary(module);

    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
              std::string::npos)
        << manifest;
    EXPECT_NE(manifest.find("<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/"
                            "WindowsSettings\">true</longPathAware>"),
              std::string::npos);
    EXPECT_NE(manifest.find("<activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/"
                            "WindowsSettings\">UTF-8</activeCodePage>"),
              std::string::npos);
    std::ifstream windowTemplate(qdt::pathFromUtf8(QDT_WINDOW_MANIFEST));
    std::stringstream window;
    window << windowTemplate.rdbuf();
    const auto windowOs = supportedOs(window.str());
    EXPECT_EQ(windowOs.size(), 4u) << window.str();
    EXPECT_EQ(supportedOs(manifest), windowOs);
    EXPECT_EQ(icons, 1);

    DWORD ignored = 0;
    std::vector<char> info(GetFileVersionInfoSizeW(tool.c_str(), &ignored));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoW(tool.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(fixed->dwFileVersionMS,
              static_cast<DWORD>(MAKELONG(QDT_VERSION_MINOR, QDT_VERSION_MAJOR)));
    EXPECT_EQ(versionString(info, L"OriginalFilename"), L"quen-dara-patch.exe");
    EXPECT_EQ(versionString(info, L"ProductName"), L"Quen Dara Translation");
    EXPECT_EQ(versionString(info, L"FileVersion"),
              std::to_wstring(QDT_VERSION_MAJOR) + L"." + std::to_wstring(QDT_VERSION_MINOR));
}

} // namespace
