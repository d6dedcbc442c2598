// Stands in for the game's executable: records how it was started, then waits to be ended.
// QDT_FAKE_GAME_LOG names a file that receives one line per argument (the program path first),
// QDT_FAKE_GAME_FOLDER one that receives its working folder (UTF-8). Under Wine both may be Unix
// paths: the game runs in its own folder on drive C:, where "/tmp/..." would name C:\tmp.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::string recordPath(const char* variable)
{
    const char* value = std::getenv(variable);
    if (!value || !*value)
        return {};
    std::string path(value);
#ifdef _WIN32
    if (path[0] == '/')
        path = "Z:" + path; // Wine's drive for the Unix root
#endif
    return path;
}

std::string workingFolder()
{
#ifdef _WIN32
    wchar_t folder[32768];
    const DWORD n = GetCurrentDirectoryW(32768, folder);
    if (n == 0 || n >= 32768)
        return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, folder, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, folder, static_cast<int>(n), text.data(), size, nullptr,
                            nullptr);
    return text;
#else
    std::error_code ec;
    return std::filesystem::current_path(ec).string();
#endif
}

} // namespace

int main(int argc, char** argv)
{
    if (const std::string log = recordPath("QDT_FAKE_GAME_LOG"); !log.empty()) {
        std::ofstream out(log, std::ios::app);
        for (int i = 0; i < argc; ++i)
            out << argv[i] << '\n';
    }
    if (const std::string log = recordPath("QDT_FAKE_GAME_FOLDER"); !log.empty()) {
        std::ofstream out(log, std::ios::app);
        out << workingFolder() << '\n';
    }
    // Bounded, so a forgotten one ends by itself.
    std::this_thread::sleep_for(std::chrono::minutes(10));
    return 0;
}
