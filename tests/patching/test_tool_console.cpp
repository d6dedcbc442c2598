// quen-dara-patch.exe writing to a Windows console. A console shows the bytes a program writes
// in its own code page, so the tool's paths must reach it as letters whatever that code page is,
// without the console's code page (shared with the player's shell) being changed; a file or a
// pipe gets UTF-8. Wine's consoles need a display: CTest runs this program on a virtual one.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "core/FileIo.h"
#include "tests/patching/TempDir.h"
#include "tests/support/TestData.h"

namespace {

namespace fs = std::filesystem;

class ToolConsole : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // A console of this program's own, whatever it was started with.
        FreeConsole();
        consoleReady = AllocConsole() && SetConsoleOutputCP(GetConsoleOutputCP());
    }
    void SetUp() override
    {
        ASSERT_TRUE(consoleReady) << "no console; under Wine a console needs a display";
    }
    static bool consoleReady;
};

bool ToolConsole::consoleReady = false;

// Runs the tool with standard output and error on `output` (inherited); its exit code.
DWORD runTool(const std::wstring& arguments, HANDLE output)
{
    const fs::path tool = qdt::pathFromUtf8(QDT_TOOL);
    std::wstring commandLine = L"\"" + tool.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(tool.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process))
        return 1000;
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, 120000);
    DWORD code = 999;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return code;
}

// Everything a console screen shows, row after row; a line the console wrapped reads on.
std::wstring screenText(HANDLE screen)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(screen, &info))
        return {};
    std::wstring text;
    std::wstring row(static_cast<std::size_t>(info.dwSize.X), L' ');
    for (SHORT y = 0; y < info.dwSize.Y; ++y) {
        DWORD read = 0;
        if (!ReadConsoleOutputCharacterW(screen, row.data(), static_cast<DWORD>(row.size()),
                                         COORD{0, y}, &read))
            break;
        text.append(row, 0, read);
    }
    return text;
}

// The screen without the blanks that fill each row, for messages.
std::wstring trimmed(const std::wstring& screen)
{
    std::wstring out;
    std::size_t blanks = 0;
    for (wchar_t c : screen) {
        if (c == L' ') {
            ++blanks;
            continue;
        }
        out.append(blanks > 1 ? 1 : blanks, blanks > 1 ? L'|' : L' ');
        blanks = 0;
        out += c;
    }
    return out;
}

std::wstring quoted(const fs::path& p)
{
    return L"\"" + p.wstring() + L"\"";
}

// Letters outside ASCII in the console's code page: Russian (866), American (437), Western
// (850), Windows' own Western page (1252) and UTF-8 itself.
TEST_F(ToolConsole, PathsReachTheConsoleAsLettersWhateverItsCodePage)
{
    TempDir dir(u8"Игры Quen Dara");
    testdata::writeFile(dir / "original.lpk", testdata::makeArchive(64 << 10, 5));
    testdata::writeFile(dir / "translated.lpk", testdata::makeArchive(64 << 10, 6));
    const fs::path missing = dir.path() / qdt::pathFromUtf8(u8"нет_такого.data");
    for (const UINT codePage : {866u, 437u, 850u, 1252u, 65001u}) {
        SCOPED_TRACE(codePage);
        ASSERT_TRUE(SetConsoleOutputCP(codePage));
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE screen = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                                  CONSOLE_TEXTMODE_BUFFER, nullptr);
        ASSERT_NE(screen, INVALID_HANDLE_VALUE);
        const fs::path patch = dir / ("patch-" + std::to_string(codePage) + ".data");

        // Standard output: make names the patch it wrote.
        EXPECT_EQ(runTool(L"make " + quoted(dir / "original.lpk") + L" " +
                              quoted(dir / "translated.lpk") + L" -o " + quoted(patch),
                          screen),
                  0u);
        // Standard error: a refusal names the file it could not read.
        EXPECT_EQ(runTool(L"info " + quoted(missing), screen), 1u);

        const std::wstring shown = screenText(screen);
        const std::string shownText = qdt::displayPath(fs::path(trimmed(shown)));
        EXPECT_NE(shown.find(patch.wstring() + L": "), std::wstring::npos) << shownText;
        EXPECT_NE(shown.find(L"quen-dara-patch: " + missing.wstring()), std::wstring::npos)
            << shownText;
        EXPECT_EQ(shown.find(L'\xFFFD'), std::wstring::npos) << shownText;
        // The player's shell keeps the code page it had.
        EXPECT_EQ(GetConsoleOutputCP(), codePage);
        CloseHandle(screen);
    }
}

// Output that goes to a file or a pipe (a script reading it) stays UTF-8, as it is on Linux.
TEST_F(ToolConsole, OutputToAFileOrAPipeStaysUtf8)
{
    TempDir dir(u8"Игры Quen Dara");
    const fs::path missing = dir.path() / qdt::pathFromUtf8(u8"нет_такого.data");
    const std::string expected = "quen-dara-patch: " + qdt::displayPath(missing);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};

    const fs::path record = dir / "output.txt";
    HANDLE file = CreateFileW(record.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(runTool(L"info " + quoted(missing), file), 1u);
    CloseHandle(file);
    const testdata::Bytes bytes = testdata::readFile(record);
    const std::string written(bytes.begin(), bytes.end());
    EXPECT_NE(written.find(expected), std::string::npos) << written;

    // The message is far smaller than the pipe's buffer: the tool ends before it is read.
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 64 * 1024));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    EXPECT_EQ(runTool(L"info " + quoted(missing), writeEnd), 1u);
    CloseHandle(writeEnd);
    std::string piped;
    char block[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, block, sizeof block, &got, nullptr) && got > 0)
        piped.append(block, got);
    CloseHandle(readEnd);
    EXPECT_NE(piped.find(expected), std::string::npos) << piped;
}

} // namespace
