// Stands in for the launcher or the game in the tests of the process scan and the launch. When
// QDT_HELPER_RECORD names a file it writes there how it was started (UTF-8, one line each: its
// program path, then every argument), and when QDT_HELPER_FOLDER names one, its working folder
// (UTF-8, one line); then it sleeps QDT_HELPER_SLEEP seconds (at most 300), so
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
#else
#include <climits>
#include <unistd.h>
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

#ifdef _WIN32
// The record's path may hold letters outside the ANSI code page (a Cyrillic profile folder), so
// Windows reads it from the wide environment and opens it by its wide name.
using NativeString = std::wstring;
const wchar_t* recordVariable()
{
    return _wgetenv(L"QDT_HELPER_RECORD");
}
const wchar_t* folderVariable()
{
    return _wgetenv(L"QDT_HELPER_FOLDER");
}
std::string workingFolder()
{
    wchar_t folder[32768];
    const DWORD n = GetCurrentDirectoryW(32768, folder);
    if (n == 0 || n >= 32768)
        return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, folder, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, folder, static_cast<int>(n), s.data(), size, nullptr,
                            nullptr);
    return s;
}
std::FILE* openForWriting(const NativeString& path)
{
    return _wfopen(path.c_str(), L"wb");
}
int renameFile(const NativeString& from, const NativeString& to)
{
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}
const NativeString partSuffix = L".part";
#else
using NativeString = std::string;
const char* recordVariable()
{
    return std::getenv("QDT_HELPER_RECORD");
}
const char* folderVariable()
{
    return std::getenv("QDT_HELPER_FOLDER");
}
std::string workingFolder()
{
    char folder[PATH_MAX];
    return ::getcwd(folder, sizeof folder) ? std::string(folder) : std::string();
}
std::FILE* openForWriting(const NativeString& path)
{
    return std::fopen(path.c_str(), "wb");
}
int renameFile(const NativeString& from, const NativeString& to)
{
    return std::rename(from.c_str(), to.c_str());
}
const NativeString partSuffix = ".part";
#endif

int main(int argc, char** argv)
{
    if (const auto* record = recordVariable(); record && *record) {
        // Written beside and renamed, so a reader never sees half a record.
        const NativeString target(record);
        const NativeString part = target + partSuffix;
        if (std::FILE* f = openForWriting(part)) {
            for (const auto& a : arguments(argc, argv))
                std::fprintf(f, "%s\n", a.c_str());
            std::fclose(f);
            renameFile(part, target);
        }
    }
    if (const auto* record = folderVariable(); record && *record) {
        const NativeString target(record);
        const NativeString part = target + partSuffix;
        if (std::FILE* f = openForWriting(part)) {
            std::fprintf(f, "%s\n", workingFolder().c_str());
            std::fclose(f);
            renameFile(part, target);
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
