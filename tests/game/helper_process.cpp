// Stands in for the launcher or the game in the tests of the process scan and the launch. When
// QDT_HELPER_RECORD names a file it writes there how it was started (UTF-8, one line each: its
// program path, then every argument); then it sleeps QDT_HELPER_SLEEP seconds (at most 300), so
// that a scan can find it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

namespace {

std::vector<std::string> arguments(int argc, char** argv)
{
    std::vector<std::string> out;
#ifdef _WIN32
    // The narrow argv loses letters outside the ANSI code page; the wide command line keeps them.
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; wide && i < count; ++i) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string s(n > 0 ? static_cast<std::size_t>(n - 1) : 0, '\0');
        if (n > 1)
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, s.data(), n, nullptr, nullptr);
        out.push_back(s);
    }
    LocalFree(wide);
#else
    for (int i = 0; i < argc; ++i)
        out.emplace_back(argv[i]);
#endif
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (const char* record = std::getenv("QDT_HELPER_RECORD")) {
        // Written beside and renamed, so a reader never sees half a record.
        const std::string part = std::string(record) + ".part";
        if (std::FILE* f = std::fopen(part.c_str(), "wb")) {
            for (const auto& a : arguments(argc, argv))
                std::fprintf(f, "%s\n", a.c_str());
            std::fclose(f);
            std::rename(part.c_str(), record);
        }
    }
    long seconds = 0;
    if (const char* s = std::getenv("QDT_HELPER_SLEEP"))
        seconds = std::strtol(s, nullptr, 10);
    if (seconds > 300)
        seconds = 300;
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return 0;
}
