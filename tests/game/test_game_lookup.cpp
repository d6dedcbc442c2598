// The rules above the platform layer (registry composition, process states, the game among the
// processes) and the platform layer itself with real processes, on Linux and under Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "core/FileIo.h"
#include "game/ProcessState.h"
#include "game/platform/CaseInsensitive.h"
#include "game/platform/GameLookup.h"
#include "game/platform/Platform.h"

namespace fs = std::filesystem;

namespace {

// ---- registry composition ------------------------------------------------------------------

struct RegistryCase
{
    const char* gamePath;
    const char* execName;
    const char* displayIcon;
    const char* expected;
    std::vector<std::string> reads; // which values were read, in order
};

TEST(GamePathFromRegistry, ComposesTheValuesInOrder)
{
    const RegistryCase cases[] = {
        {"C:\\Games\\Quen Dara",
         "bin\\x64\\QuenDara.exe -launch_from_launcher",
         "D:\\icon.exe",
         "C:\\Games\\Quen Dara\\bin\\x64\\QuenDara.exe",
         {"GamePath", "ExecName"}},
        {"C:\\Games\\Quen Dara\\",
         "bin\\x64\\QuenDara.exe -launch_from_launcher",
         "",
         "C:\\Games\\Quen Dara\\bin\\x64\\QuenDara.exe",
         {"GamePath", "ExecName"}},
        {"C:\\Games\\QD",
         "bin\\QuenDara.exe",
         "D:\\icon.exe",
         "C:\\Games\\QD",
         {"GamePath", "ExecName"}},
        {"C:\\Games\\QD", "", "", "C:\\Games\\QD", {"GamePath", "ExecName"}},
        // The switch is compared with its letter case.
        {"C:\\Games\\QD",
         "bin\\QuenDara.exe -LAUNCH_FROM_LAUNCHER",
         "",
         "C:\\Games\\QD",
         {"GamePath", "ExecName"}},
        // Only the switch: the folder gets its separator and nothing more.
        {"C:\\Games\\QD",
         " -launch_from_launcher",
         "",
         "C:\\Games\\QD\\",
         {"GamePath", "ExecName"}},
        {"",
         "bin\\QuenDara.exe -launch_from_launcher",
         "E:\\QD\\bin\\QuenDara.exe,0",
         "E:\\QD\\bin\\QuenDara.exe,0",
         {"GamePath", "DisplayIcon"}},
        {"", "", "", "", {"GamePath", "DisplayIcon"}},
        {"C:\\Игры\\Квен Дара",
         "bin\\QuenDara.exe -launch_from_launcher",
         "",
         "C:\\Игры\\Квен Дара\\bin\\QuenDara.exe",
         {"GamePath", "ExecName"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> reads;
        const auto reader = [&](qdt::RegistryHive hive, const std::string& key,
                                const std::string& value) -> std::string {
            reads.push_back(value);
            if (value == "DisplayIcon") {
                EXPECT_EQ(hive, qdt::RegistryHive::LocalMachine);
                EXPECT_EQ(key, "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\"
                               "Uninstall\\QUEN DARA_ORBEX");
                return c.displayIcon;
            }
            EXPECT_EQ(hive, qdt::RegistryHive::CurrentUser);
            EXPECT_EQ(key, "Software\\KVTR\\Apps\\45");
            return value == "GamePath" ? c.gamePath : value == "ExecName" ? c.execName : "";
        };
        EXPECT_EQ(qdt::gamePathFromRegistry(reader), c.expected)
            << c.gamePath << " | " << c.execName;
        EXPECT_EQ(reads, c.reads) << c.gamePath << " | " << c.execName;
    }
}

// ---- process states ------------------------------------------------------------------------

TEST(ProcessStateOf, SubstringTestsOnEveryPathWithoutRegardToCase)
{
    struct Case
    {
        std::vector<std::string> paths;
        int expected;
    };
    const Case cases[] = {
        {{}, LauncherNotRunning},
        {{"", ""}, LauncherNotRunning},
        {{"C:\\Games\\QD\\bin\\QuenDara.exe"}, LauncherNotRunning},
        {{"C:\\ORBEX\\ORBEX.exe"}, LauncherRunning},
        {{"c:\\orbex\\orbex.exe", "C:\\Windows\\explorer.exe"}, LauncherRunning},
        {{"C:\\ORBEX\\ORBEX.exe", "C:\\Games\\QD\\bin\\quendara.EXE"}, GameRunning},
        {{"C:\\Games\\QD\\bin\\QUENDARA.EXE", "/opt/orbex/OrBeX.ExE"}, GameRunning},
        // Part of a folder name or of a longer file name counts too.
        {{"C:\\ORBEX.exe.d\\start.exe", "C:\\QuenDara.exe files\\helper.exe"}, GameRunning},
        {{"C:\\tools\\myORBEX.exe.bak"}, LauncherRunning},
        {{"C:\\tools\\ORBEX.ex"}, LauncherNotRunning},
    };
    for (const auto& c : cases) {
        std::string all;
        for (const auto& p : c.paths)
            all += p + ";";
        EXPECT_EQ(qdt::processStateOf(c.paths), c.expected) << all;
    }
}

TEST(GamePathAmong, TakesTheFirstProcessRunFromAGameExecutable)
{
    EXPECT_EQ(qdt::gamePathAmong(
                  {"C:\\ORBEX\\ORBEX.exe", "C:\\QD\\bin\\quendara.exe", "D:\\other\\QuenDara.exe"}),
              "C:\\QD\\bin\\quendara.exe");
    EXPECT_EQ(qdt::gamePathAmong({"/home/p/Games/QD/bin/QuenDara.exe"}),
              "/home/p/Games/QD/bin/QuenDara.exe");
    // A folder named after the game, a longer file name and a bare name say nothing of the folder.
    EXPECT_EQ(qdt::gamePathAmong({"C:\\QuenDara.exe\\run.exe", "C:\\QD\\QuenDara.exe.bak",
                                  "QuenDara.exe", "bin/QuenDara.exe", ""}),
              "");
}

TEST(CaseInsensitive, FoldsLatinAndCyrillicLetters)
{
    EXPECT_TRUE(qdt::equalsIgnoringCase("Игры\\Quen Dara", "иГРЫ\\qUEN dARA"));
    EXPECT_FALSE(qdt::equalsIgnoringCase("Игры", "Игра"));
    EXPECT_TRUE(qdt::containsIgnoringCase("C:\\ПАПКА\\orbex.EXE", "ORBEX.exe"));
    EXPECT_TRUE(qdt::endsWithIgnoringCase("ZNGAME", "game"));
    EXPECT_FALSE(qdt::containsIgnoringCase("ORBEX", "ORBEX.exe"));
}

// ---- real processes ------------------------------------------------------------------------

fs::path ownFolder()
{
#ifdef _WIN32
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(n);
    return fs::path(buffer).parent_path();
#else
    return fs::read_symlink("/proc/self/exe").parent_path();
#endif
}

// An empty value removes the variable.
void setEnv(const char* name, const std::string& value)
{
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    if (value.empty())
        ::unsetenv(name);
    else
        ::setenv(name, value.c_str(), 1);
#endif
}

// A fresh folder under the system's temporary folder, removed afterwards.
class TempFolder
{
public:
    TempFolder()
    {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = fs::temp_directory_path() / ("qdt-game-" + std::to_string(stamp));
        fs::create_directories(path_);
    }
    ~TempFolder()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// The helper copied to `target` and running (it sleeps up to a minute), ended on destruction.
class RunningCopy
{
public:
    explicit RunningCopy(const fs::path& target)
    {
        fs::create_directories(target.parent_path());
        fs::copy_file(ownFolder() / QDT_HELPER_NAME, target, fs::copy_options::overwrite_existing);
        setEnv("QDT_HELPER_SLEEP", "60");
#ifdef _WIN32
        std::wstring line = L"\"" + target.wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        started_ = CreateProcessW(target.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &info_);
        if (started_)
            CloseHandle(info_.hThread);
#else
        fs::permissions(target, fs::perms::owner_exec, fs::perm_options::add);
        std::string program = target.string();
        char* argv[] = {program.data(), nullptr};
        started_ = ::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) == 0;
#endif
        setEnv("QDT_HELPER_SLEEP", "0");
    }
    ~RunningCopy()
    {
        if (!started_)
            return;
#ifdef _WIN32
        TerminateProcess(info_.hProcess, 0);
        WaitForSingleObject(info_.hProcess, 10000);
        CloseHandle(info_.hProcess);
#else
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
#endif
    }
    bool started() const
    {
        return started_;
    }

private:
    bool started_ = false;
#ifdef _WIN32
    PROCESS_INFORMATION info_{};
#else
    pid_t pid_ = 0;
#endif
};

// The scanned paths that lie in `folder`: other programs running at the same time (other tests
// start launchers too) must not change what this test sees.
std::vector<std::string> scannedPathsIn(const fs::path& folder)
{
    const auto paths = qdt::runningProcessPaths();
    EXPECT_TRUE(paths.ok()) << paths.status.detail;
    const std::string prefix = qdt::displayPath(folder);
    std::vector<std::string> mine;
    for (const auto& p : paths.value)
        if (p.size() > prefix.size() &&
            qdt::equalsIgnoringCase(std::string_view(p).substr(0, prefix.size()), prefix))
            mine.push_back(p);
    return mine;
}

// Scans until `done` holds for the paths in `folder` (a new process may take a moment to show).
std::vector<std::string> scanUntil(const fs::path& folder,
                                   const std::function<bool(const std::vector<std::string>&)>& done)
{
    std::vector<std::string> mine;
    for (int attempt = 0; attempt < 50; ++attempt) {
        mine = scannedPathsIn(folder);
        if (done(mine))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return mine;
}

TEST(ProcessScan, SeesRealProcessesByTheirFullPathsInAnyLetterCase)
{
    TempFolder temp;
    const fs::path launcher = temp.path() / "Launcher Files" / "orbex.EXE";
    RunningCopy launcherProcess(launcher);
    ASSERT_TRUE(launcherProcess.started());

    auto mine = scanUntil(temp.path(), [](const auto& p) { return !p.empty(); });
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_TRUE(qdt::equalsIgnoringCase(mine[0], qdt::displayPath(launcher))) << mine[0];
    EXPECT_EQ(qdt::processStateOf(mine), LauncherRunning);

    // The game's name inside a folder name is enough to count as the game.
    const fs::path game = temp.path() / "quendara.exe game" / "bin" / "runner.exe";
    RunningCopy gameProcess(game);
    ASSERT_TRUE(gameProcess.started());
    mine = scanUntil(temp.path(), [](const auto& p) { return p.size() == 2; });
    ASSERT_EQ(mine.size(), 2u);
    EXPECT_EQ(qdt::processStateOf(mine), GameRunning);
    // Other programs can only add to what is seen, and this is the highest state.
    EXPECT_EQ(processState(), GameRunning);
    // A folder named after the game is not where the game's files are.
    EXPECT_EQ(qdt::gamePathAmong(mine), "");
}

TEST(ProcessScan, FindsTheRunningGamesPath)
{
    TempFolder temp;
    const fs::path game = temp.path() / "Quen Dara" / "bin" / "QUENDARA.exe";
    RunningCopy gameProcess(game);
    ASSERT_TRUE(gameProcess.started());
    const auto mine = scanUntil(temp.path(), [](const auto& p) { return !p.empty(); });
    EXPECT_TRUE(qdt::equalsIgnoringCase(qdt::gamePathAmong(mine), qdt::displayPath(game)));
    // The game without the launcher is not a state of its own.
    EXPECT_EQ(qdt::processStateOf(mine), LauncherNotRunning);
}

// ---- starting a program --------------------------------------------------------------------

std::vector<std::string> waitForRecord(const fs::path& record)
{
    for (int attempt = 0; attempt < 100 && !fs::exists(record); ++attempt)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<std::string> lines;
    std::ifstream in(record, std::ios::binary);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The folder a started program reports as its working folder.
fs::path recordedFolder(const fs::path& record)
{
    const auto lines = waitForRecord(record);
    return lines.size() == 1 ? qdt::pathFromUtf8(lines[0]) : fs::path();
}

// Run from a folder of its own, as a patcher unpacked from its zip is: the game still starts in
// its own folder, as a shortcut or the launcher starts it.
class InAnotherFolder
{
public:
    explicit InAnotherFolder(const fs::path& folder) : before_(fs::current_path())
    {
        fs::current_path(folder);
    }
    ~InAnotherFolder()
    {
        std::error_code ec;
        fs::current_path(before_, ec);
    }

private:
    fs::path before_;
};

TEST(StartDetached, PassesAPathWithBlanksAndCyrillicLettersAsOneProgram)
{
    TempFolder temp;
    const fs::path folder = temp.path() / qdt::pathFromUtf8("Квен Дара  Online") / "bin";
    fs::create_directories(folder);
    fs::create_directories(temp.path() / "patcher");
    const fs::path game = folder / "QuenDara.exe";
    fs::copy_file(ownFolder() / QDT_HELPER_NAME, game);
    fs::permissions(game, fs::perms::owner_exec, fs::perm_options::add);
    const fs::path record = temp.path() / "record.txt";
    const fs::path folderRecord = temp.path() / "folder.txt";
    setEnv("QDT_HELPER_RECORD", qdt::displayPath(record));
    setEnv("QDT_HELPER_FOLDER", qdt::displayPath(folderRecord));
    qdt::Status status;
    {
        InAnotherFolder patcher(temp.path() / "patcher");
        status = qdt::startDetached(qdt::displayPath(game), {"-launch_from_launcher"});
    }
    setEnv("QDT_HELPER_RECORD", "");
    setEnv("QDT_HELPER_FOLDER", "");
    ASSERT_TRUE(status.ok()) << status.detail;

    const auto lines = waitForRecord(record);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(qdt::equalsIgnoringCase(lines[0], qdt::displayPath(game))) << lines[0];
    EXPECT_EQ(lines[1], "-launch_from_launcher");
    const fs::path workingFolder = recordedFolder(folderRecord);
    std::error_code ec;
    EXPECT_TRUE(fs::equivalent(workingFolder, folder, ec)) << qdt::displayPath(workingFolder);
}

#ifndef _WIN32
TEST(StartDetached, ReadsTheProgramsOwnPathStyle)
{
    // The program keeps paths with "\" and ".." as the registry gave them.
    TempFolder temp;
    fs::create_directories(temp.path() / "QD" / "bin");
    const fs::path game = temp.path() / "QD" / "bin" / "QuenDara.exe";
    fs::copy_file(ownFolder() / QDT_HELPER_NAME, game);
    fs::permissions(game, fs::perms::owner_exec, fs::perm_options::add);
    const fs::path record = temp.path() / "record.txt";
    const fs::path folderRecord = temp.path() / "folder.txt";
    setEnv("QDT_HELPER_RECORD", record.string());
    setEnv("QDT_HELPER_FOLDER", folderRecord.string());
    std::string windowsStyle = (temp.path() / "QD" / "x" / "..").string() + "\\bin\\QuenDara.exe";
    const auto status = qdt::startDetached(windowsStyle, {"a b", "-launch_from_launcher"});
    setEnv("QDT_HELPER_RECORD", "");
    setEnv("QDT_HELPER_FOLDER", "");
    ASSERT_TRUE(status.ok()) << status.detail;
    const auto lines = waitForRecord(record);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(fs::path(lines[0]), game);
    EXPECT_EQ(lines[1], "a b");
    std::error_code ec;
    EXPECT_TRUE(fs::equivalent(recordedFolder(folderRecord), game.parent_path(), ec));
}
#endif

TEST(StartDetached, ReportsAMissingProgram)
{
    TempFolder temp;
    const auto status =
        qdt::startDetached(qdt::displayPath(temp.path() / "missing" / "QuenDara.exe"), {});
    EXPECT_FALSE(status.ok());
    EXPECT_NE(status.detail.find("QuenDara.exe"), std::string::npos) << status.detail;
}

// ---- the Windows registry ------------------------------------------------------------------

#ifdef _WIN32
int runReg(const std::wstring& arguments)
{
    std::wstring line = L"reg.exe " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return -1;
    CloseHandle(info.hThread);
    DWORD code = 1;
    if (WaitForSingleObject(info.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(info.hProcess, &code);
    else
        TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hProcess);
    return static_cast<int>(code);
}

TEST(WindowsRegistry, ReadsKeysWrittenByReg)
{
    const std::wstring key = L"HKCU\\Software\\KVTR\\Apps\\45";
    const std::wstring uninstall =
        L"HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QUEN "
        L"DARA_ORBEX";
    runReg(L"delete \"" + key + L"\" /f");
    runReg(L"delete \"" + uninstall + L"\" /f");
    ASSERT_EQ(runReg(L"add \"" + uninstall +
                     L"\" /v DisplayIcon /d \"C:\\Игры\\Quen Dara\\QuenDara.exe\" /f"),
              0);
    // No launcher key yet: the uninstaller's icon path, verbatim.
    EXPECT_EQ(qdt::gamePathFromRegistry(), "C:\\Игры\\Quen Dara\\QuenDara.exe");

    ASSERT_EQ(runReg(L"add \"" + key + L"\" /v GamePath /d \"C:\\Игры\\Квен Дара\" /f"), 0);
    ASSERT_EQ(runReg(L"add \"" + key +
                     L"\" /v ExecName /d \"bin\\QuenDara.exe -launch_from_launcher\" /f"),
              0);
    ASSERT_EQ(runReg(L"add \"" + key + L"\" /v Build /t REG_DWORD /d 42 /f"), 0);
    EXPECT_EQ(qdt::gamePathFromRegistry(), "C:\\Игры\\Квен Дара\\bin\\QuenDara.exe");
    // Value names are matched without regard to case, numbers read in decimal.
    EXPECT_EQ(qdt::readRegistryString(qdt::RegistryHive::CurrentUser, "software\\kvtr\\apps\\45",
                                      "gamepath"),
              "C:\\Игры\\Квен Дара");
    EXPECT_EQ(qdt::readRegistryString(qdt::RegistryHive::CurrentUser, "Software\\KVTR\\Apps\\45",
                                      "Build"),
              "42");
    EXPECT_EQ(qdt::readRegistryString(qdt::RegistryHive::CurrentUser, "Software\\KVTR\\Apps\\45",
                                      "Missing"),
              "");
    runReg(L"delete \"" + key + L"\" /f");
    runReg(L"delete \"" + uninstall + L"\" /f");
}
#endif

} // namespace
