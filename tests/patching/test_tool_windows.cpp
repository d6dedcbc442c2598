// quen-dara-patch.exe started as a Windows process: wide command-line arguments with Cyrillic
// folder names and mixed separators, exit codes.
#include <gtest/gtest.h>

#include <windows.h>

#include "core/FileIo.h"
#include "tests/patching/TempDir.h"
#include "tests/support/TestData.h"

namespace {

using testdata::Bytes;

DWORD runTool(const std::wstring& arguments)
{
    const std::filesystem::path tool = qdt::pathFromUtf8(QDT_TOOL);
    std::wstring commandLine = L"\"" + tool.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(tool.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return 1000 + GetLastError();
    WaitForSingleObject(process.hProcess, 120000);
    DWORD code = 999;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
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

} // namespace
