// Checks the Linux platform layer against a prefix that real Wine has written and runs in (set up
// by scripts/test-stages/wine-registry.sh): registry values written with `wine reg add`, the
// prefix's drives, a launcher and a game run by Wine, and the game started through Wine.
// Prints one line per check, "N passed, N failed" and the same as CTest words its summary.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/ArchivePath.h"
#include "core/FileIo.h"
#include "game/ProcessState.h"
#include "game/platform/GameLookup.h"
#include "game/platform/NativePath.h"
#include "game/platform/Platform.h"
#include "game/platform/WinePrefix.h"

namespace fs = std::filesystem;

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what, const std::string& seen = {})
{
    (ok ? passed : failed)++;
    std::printf("%s %s%s\n", ok ? "ok  " : "FAIL", what.c_str(),
                ok || seen.empty() ? "" : (" (seen: " + seen + ")").c_str());
}

// Polls `condition` for up to `seconds`.
bool within(int seconds, const std::function<bool()>& condition)
{
    for (int i = 0; i < seconds * 10; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return condition();
}

bool sameFile(const fs::path& a, const fs::path& b)
{
    std::error_code ec;
    return fs::equivalent(a, b, ec);
}

} // namespace

int main()
{
    const fs::path prefix = qdt::winePrefix();
    const std::string expected = "C:\\Games\\Квен Дара\\bin\\x64\\QuenDara.exe";

    const std::string gamePath = qdt::gamePathFromRegistry();
    check(gamePath == expected, "launcher's GamePath and ExecName make the game path", gamePath);
    const std::string icon =
        qdt::readRegistryString(qdt::RegistryHive::LocalMachine, qdt::kUninstallKey, "displayicon");
    check(icon == expected, "uninstaller's DisplayIcon from system.reg", icon);
    const std::string build = qdt::readRegistryString(qdt::RegistryHive::CurrentUser,
                                                      "SOFTWARE\\kvtr\\APPS\\45", "Build");
    check(build == "42", "a dword value, key names in another letter case", build);

    const fs::path archive = qdt::nativePath(qdt::archivePath(gamePath));
    check(sameFile(archive,
                   prefix / "drive_c" / qdt::pathFromUtf8("Games/Квен Дара/ZNGame/data.lpk")),
          "the archive path maps into the prefix's drive C:", qdt::displayPath(archive));

    int state = -1;
    check(within(30, [&] { return (state = processState()) == LauncherRunning; }),
          "a launcher run by Wine is seen", std::to_string(state));

    const fs::path record = fs::temp_directory_path() / "qdt-wine-stage-record.txt";
    fs::remove(record);
    ::setenv("QDT_HELPER_RECORD", record.c_str(), 1);
    ::setenv("QDT_HELPER_SLEEP", "60", 1);
    const qdt::Status started = qdt::startDetached(gamePath, {"-launch_from_launcher"});
    ::unsetenv("QDT_HELPER_RECORD");
    ::unsetenv("QDT_HELPER_SLEEP");
    check(started.ok(), "the game starts through Wine", started.detail);
    std::vector<std::string> lines;
    within(60, [&] {
        lines.clear();
        std::ifstream in(record);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines.size() >= 2;
    });
    check(lines.size() == 2 && lines[1] == "-launch_from_launcher",
          "the game gets the switch as its one argument", lines.empty() ? "nothing" : lines.back());

    check(within(30, [&] { return (state = processState()) == GameRunning; }),
          "the game run by Wine is seen", std::to_string(state));
    std::string candidate;
    within(10, [&] {
        const auto paths = qdt::runningProcessPaths();
        candidate = paths ? qdt::gamePathAmong(paths.value) : std::string();
        return !candidate.empty();
    });
    check(sameFile(qdt::nativePath(candidate), qdt::nativePath(gamePath)),
          "the running game's path leads to its executable", candidate);
    fs::remove(record);

    std::printf("%d passed, %d failed\n", passed, failed);
    // The summary line scripts/test.sh counts, in CTest's words.
    std::printf("%d%% tests passed, %d tests failed out of %d\n", passed * 100 / (passed + failed),
                failed, passed + failed);
    return failed == 0 ? 0 : 1;
}
