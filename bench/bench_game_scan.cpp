// Costs of finding the game: one process scan (it runs at start-up, on "Start the game", on close
// and every second while the path watch polls) and one registry read from a Wine prefix's
// user.reg of realistic size. Prints figures; not a test.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "game/ProcessState.h"
#include "game/platform/GameLookup.h"
#include "game/platform/Platform.h"
#include "game/platform/WinePrefix.h"

namespace {

double millisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

int main()
{
    const int scans = 50;
    std::size_t processes = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < scans; ++i) {
        const auto paths = qdt::runningProcessPaths();
        processes = paths.value.size();
        (void)qdt::processStateOf(paths.value);
    }
    std::printf("process scan: %.2f ms per scan over %zu processes (%d scans)\n",
                millisecondsSince(start) / scans, processes, scans);

    // A user.reg with 40000 keys (a few MB, as a prefix with a few programs installed has), the
    // launcher's key last.
    const auto file = std::filesystem::temp_directory_path() / "qdt-bench-user.reg";
    {
        std::ofstream out(file, std::ios::binary);
        out << "WINE REGISTRY Version 2\n;; All keys relative to "
               "\\\\User\\\\S-1-5-21-0-0-0-1000\n\n";
        for (int k = 0; k < 40000; ++k)
            out << "[Software\\\\Vendor" << k % 97 << "\\\\Product\\\\Key" << k << "] 1700000000\n"
                << "#time=1d9a1b2c3d4e5f6\n\"Value\"=\"C:\\\\Program Files\\\\Vendor\\\\" << k
                << "\"\n\"Size\"=dword:0000" << k % 10 << "abc\n\n";
        out << "[Software\\\\KVTR\\\\Apps\\\\45] 1700000000\n\"GamePath\"=\"C:\\\\Games\\\\QD\"\n";
    }
    const int reads = 20;
    std::string value;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < reads; ++i)
        value = qdt::readWineRegistryValue(file, "Software\\KVTR\\Apps\\45", "GamePath");
    std::printf("registry read from a %.1f MB user.reg: %.2f ms per value (found: %s)\n",
                static_cast<double>(std::filesystem::file_size(file)) / (1 << 20),
                millisecondsSince(start) / reads, value.c_str());
    std::filesystem::remove(file);
    return 0;
}
