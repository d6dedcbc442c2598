// Measures quen-dara-patch on generated archives with translation-like edits and prints ratios
// measured in the same run:
//   apply (with backup and reverse patch) + sync   against   cp + sync of the archive
//   apply + sync                                    against   xdelta3 -d -s of the same change +
//   sync peak memory of apply and of xdelta3 -d status (is the patch applied?) against   one XXH64
//   pass over the archive
// Usage: bench_apply [--dir DIR] [--records N] [SIZE_MIB...]   (default sizes: 256 1024 2048)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/Xxh64.h"
#include "tests/support/TestData.h"

namespace fs = std::filesystem;

namespace {

struct Measured
{
    double seconds = 0;
    long peakKiB = 0;
    int exitCode = -1;
};

// Runs a program (no shell), returns wall time, peak resident memory and exit code. The peak is
// taken by /usr/bin/time: a child forked from this process would report this process's own size
// (Linux keeps the high-water mark across exec).
Measured runProgram(const std::vector<std::string>& args)
{
    static const fs::path peakFile =
        fs::temp_directory_path() / ("bench_apply-peak-" + std::to_string(::getpid()));
    std::vector<char*> argv;
    std::vector<std::string> copies = {"/usr/bin/time", "-f", "%M", "-o", peakFile.string()};
    copies.insert(copies.end(), args.begin(), args.end());
    for (auto& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Figures only on our output: the programs' own answers go nowhere.
        if (FILE* null = std::fopen("/dev/null", "w"))
            ::dup2(fileno(null), 1);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    Measured m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m.peakKiB = 0;
    if (FILE* f = std::fopen(peakFile.c_str(), "r")) {
        // "Command exited with non-zero status N" may come first; the figure is the last line.
        char line[256];
        while (std::fgets(line, sizeof line, f))
            m.peakKiB = std::strtol(line, nullptr, 10);
        std::fclose(f);
    }
    m.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

double seconds(const std::chrono::steady_clock::time_point& since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void require(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "bench_apply: %s failed\n", what);
        std::exit(1);
    }
}

void removeQuietly(const fs::path& p)
{
    std::error_code ec;
    fs::remove(p, ec);
}

void benchOneSize(const fs::path& dir, std::uint64_t mib, std::size_t records)
{
    const std::uint64_t size = mib << 20;
    const fs::path archive = dir / "data.lpk";
    const fs::path target = dir / "target.lpk";
    const fs::path patch = dir / "patch.data";
    const fs::path delta = dir / "patch.xdelta";
    const fs::path copy = dir / "copy.lpk";
    const fs::path xdeltaOut = dir / "xdelta-out.lpk";
    const fs::path backup = dir / "backup.lpk";
    const fs::path reverse = dir / "patch_KR.data";

    std::printf("\n== %llu MiB archive, %zu records\n", static_cast<unsigned long long>(mib),
                records);
    std::fflush(stdout);
    testdata::writeArchive(archive, size, 2026);
    const auto edits = testdata::translationEdits(size, records, 2026);
    const auto patchBytes = testdata::makePatchForFile(archive, edits, 1, target);
    testdata::writeFile(patch, patchBytes);
    std::printf("patch: %.1f MiB\n", patchBytes.size() / 1048576.0);
    require(
        runProgram({"xdelta3", "-e", "-f", "-s", archive.string(), target.string(), delta.string()})
                .exitCode == 0,
        "xdelta3 -e");
    std::printf("xdelta3 delta: %.1f MiB\n", fs::file_size(delta) / 1048576.0);
    removeQuietly(target);
    runProgram({"sync"});

    // Baseline: one copy of the archive, made durable.
    auto t = std::chrono::steady_clock::now();
    require(runProgram({"cp", archive.string(), copy.string()}).exitCode == 0, "cp");
    runProgram({"sync"});
    const double cpSync = seconds(t);
    removeQuietly(copy);

    // apply with backup and reverse patch, then sync (the tool flushes its own files already).
    t = std::chrono::steady_clock::now();
    const Measured apply = runProgram({QDT_TOOL, "apply", archive.string(), patch.string(),
                                       "--backup", backup.string(), "--reverse", reverse.string()});
    runProgram({"sync"});
    const double applySync = seconds(t);
    require(apply.exitCode == 0, "apply");

    // Is the patch applied? The tool's answer against a bare hash pass.
    t = std::chrono::steady_clock::now();
    const Measured status = runProgram({QDT_TOOL, "status", archive.string(), patch.string()});
    const double statusTime = seconds(t);
    t = std::chrono::steady_clock::now();
    const auto hash = qdt::hashFile(archive);
    const double hashTime = seconds(t);
    require(status.exitCode == 0 && hash.ok(), "status");

    // Back to the source (not timed), then xdelta3 applying the same change.
    require(runProgram({QDT_TOOL, "apply", archive.string(), reverse.string()}).exitCode == 0,
            "reverse apply");
    removeQuietly(backup);
    runProgram({"sync"});
    t = std::chrono::steady_clock::now();
    const Measured xd = runProgram(
        {"xdelta3", "-d", "-f", "-s", archive.string(), delta.string(), xdeltaOut.string()});
    runProgram({"sync"});
    const double xdeltaSync = seconds(t);
    require(xd.exitCode == 0, "xdelta3 -d");

    const double patchMiB = patchBytes.size() / 1048576.0;
    std::printf("cp + sync:                 %7.2f s\n", cpSync);
    std::printf("apply + sync:              %7.2f s   ratio to cp + sync: %.2f (goal <= 2)\n",
                applySync, applySync / cpSync);
    std::printf("xdelta3 -d + sync:         %7.2f s   apply / xdelta3:    %.2f (goal < 1)\n",
                xdeltaSync, applySync / xdeltaSync);
    std::printf("peak memory apply:         %7.1f MiB (goal < 64 + 2 x %.1f = %.1f MiB)\n",
                apply.peakKiB / 1024.0, patchMiB, 64 + 2 * patchMiB);
    std::printf("peak memory xdelta3 -d:    %7.1f MiB\n", xd.peakKiB / 1024.0);
    std::printf("status:                    %7.2f s   one XXH64 pass:     %.2f s   ratio %.2f\n",
                statusTime, hashTime, statusTime / hashTime);
    std::fflush(stdout);

    for (const auto& p : {archive, patch, delta, xdeltaOut, backup, reverse})
        removeQuietly(p);
}

} // namespace

int main(int argc, char** argv)
{
    fs::path dir = fs::current_path() / "bench-data";
    std::size_t records = 50000;
    std::vector<std::uint64_t> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else if (a == "--records" && i + 1 < argc)
            records = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--help") {
            std::puts("Usage: bench_apply [--dir DIR] [--records N] [SIZE_MIB...]");
            return 0;
        } else
            sizes.push_back(std::strtoull(a.c_str(), nullptr, 10));
    }
    if (sizes.empty())
        sizes = {256, 1024, 2048};
    fs::create_directories(dir);
    std::printf("bench_apply: files in %s (page cache warm; every write made durable)\n",
                dir.string().c_str());
    for (auto mib : sizes)
        benchOneSize(dir, mib, records);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
