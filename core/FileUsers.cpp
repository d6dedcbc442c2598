#include "core/FileUsers.h"

#include "core/FileIo.h"

#ifdef _WIN32
#include <windows.h>

#include <restartmanager.h>
#endif

namespace qdt {

#ifdef _WIN32
namespace {

std::string utf8(const wchar_t* text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 1 ? static_cast<std::size_t>(n - 1) : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

// A function of a library loaded at run time, by its name and type.
template <typename Function> Function procedure(HMODULE library, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

} // namespace

std::vector<std::string> programsUsingFile(const std::filesystem::path& path)
{
    // Loaded when needed: the program must start on systems where the library is missing.
    HMODULE library = LoadLibraryW(L"rstrtmgr.dll");
    if (!library)
        return {};
    using StartSession = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
    using RegisterResources =
        DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
    using GetList = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);
    using EndSession = DWORD(WINAPI*)(DWORD);
    const auto start = procedure<StartSession>(library, "RmStartSession");
    const auto registerResources = procedure<RegisterResources>(library, "RmRegisterResources");
    const auto getList = procedure<GetList>(library, "RmGetList");
    const auto end = procedure<EndSession>(library, "RmEndSession");
    std::vector<std::string> programs;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (start && registerResources && getList && end && start(&session, 0, key) == ERROR_SUCCESS) {
        std::error_code ec;
        const std::wstring full = std::filesystem::absolute(path, ec).wstring();
        LPCWSTR files[] = {full.c_str()};
        if (registerResources(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
            // The list may grow between the two calls: a few tries, then what there is.
            std::vector<RM_PROCESS_INFO> info(8);
            for (int attempt = 0; attempt < 3; ++attempt) {
                UINT needed = 0;
                UINT count = static_cast<UINT>(info.size());
                DWORD reasons = 0;
                const DWORD got = getList(session, &needed, &count, info.data(), &reasons);
                if (got == ERROR_MORE_DATA) {
                    info.resize(needed + 4);
                    continue;
                }
                for (UINT i = 0; got == ERROR_SUCCESS && i < count && i < info.size(); ++i)
                    programs.push_back(utf8(info[i].strAppName) + " (pid " +
                                       std::to_string(info[i].Process.dwProcessId) + ")");
                break;
            }
        }
        end(session);
    }
    FreeLibrary(library);
    return programs;
}
#else
std::vector<std::string> programsUsingFile(const std::filesystem::path&)
{
    // Nothing here stops a file from being replaced or written while others have it open.
    return {};
}
#endif

std::string anotherProgramUses(const std::filesystem::path& path, const std::string& what)
{
    const auto programs = programsUsingFile(path);
    std::string names;
    for (const auto& p : programs)
        names += (names.empty() ? "" : ", ") + p;
    if (names.empty())
        return "Another program is using " + what;
    return "Another program is using " + what + ": " + names;
}

} // namespace qdt
