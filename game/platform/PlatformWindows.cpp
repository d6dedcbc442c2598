// The platform layer on Windows: the registry through advapi32, the process list through kernel32
// and starting a program with CreateProcessW.
#include "game/platform/Platform.h"

#include <windows.h>

#include <psapi.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "core/FileIo.h"

namespace qdt {

namespace {

std::wstring wide(const std::string& utf8)
{
    return pathFromUtf8(utf8).wstring();
}

std::string utf8(const std::wstring& text)
{
    return displayPath(std::filesystem::path(text));
}

// One argument as the C runtime's command-line parser will read it back.
void appendQuoted(std::wstring& line, const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            line.append(backslashes * 2 + 1, L'\\');
        else
            line.append(backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

} // namespace

std::string readRegistryString(RegistryHive hive, const std::string& key, const std::string& value)
{
    HKEY root = hive == RegistryHive::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, wide(key).c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return {};
    const std::wstring name = wide(value);
    std::vector<BYTE> data(512);
    DWORD type = 0;
    LONG rc = ERROR_MORE_DATA;
    // The value may grow between the two calls; a few rounds settle it.
    for (int round = 0; round < 8 && rc == ERROR_MORE_DATA; ++round) {
        DWORD size = static_cast<DWORD>(data.size());
        rc = RegQueryValueExW(handle, name.c_str(), nullptr, &type, data.data(), &size);
        if (rc == ERROR_SUCCESS)
            data.resize(size);
        else if (rc == ERROR_MORE_DATA)
            data.resize(static_cast<std::size_t>(size) + sizeof(wchar_t));
    }
    RegCloseKey(handle);
    if (rc != ERROR_SUCCESS)
        return {};
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()),
                          data.size() / sizeof(wchar_t));
        const auto end = text.find(L'\0');
        if (end != std::wstring::npos)
            text.resize(end);
        return utf8(text);
    }
    case REG_DWORD:
        if (data.size() >= 4) {
            DWORD v = 0;
            memcpy(&v, data.data(), 4);
            return std::to_string(v);
        }
        return {};
    case REG_QWORD:
        if (data.size() >= 8) {
            unsigned long long v = 0;
            memcpy(&v, data.data(), 8);
            return std::to_string(v);
        }
        return {};
    default:
        return {};
    }
}

Result<std::vector<std::string>> runningProcessPaths()
{
    using R = Result<std::vector<std::string>>;
    // A fixed buffer silently drops processes on a busy machine: grow it until the list fits,
    // that is until the system fills less than all of it.
    std::vector<DWORD> ids(1024);
    DWORD bytes = 0;
    for (;;) {
        const DWORD room = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        if (!EnumProcesses(ids.data(), room, &bytes))
            return R::failure(ErrorKind::ReadFailed,
                              "Can't list the running processes (Windows error " +
                                  std::to_string(GetLastError()) + ")");
        if (bytes < room || ids.size() >= (std::size_t(1) << 22))
            break;
        ids.resize(ids.size() * 2);
    }
    ids.resize(bytes / sizeof(DWORD));

    std::vector<std::string> paths;
    std::vector<wchar_t> buffer(32768);
    for (DWORD id : ids) {
        if (id == 0)
            continue;
        // The limited right is granted for more processes than PROCESS_QUERY_INFORMATION with
        // PROCESS_VM_READ, and the call has no 260-character limit.
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
        if (!process)
            continue;
        DWORD length = static_cast<DWORD>(buffer.size());
        if (QueryFullProcessImageNameW(process, 0, buffer.data(), &length) && length > 0)
            paths.push_back(utf8(std::wstring(buffer.data(), length)));
        CloseHandle(process);
    }
    return R::success(std::move(paths));
}

Status startDetached(const std::string& program, const std::vector<std::string>& arguments)
{
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(pathFromUtf8(program), ec);
    const std::wstring file = ec ? wide(program) : absolute.wstring();
    const std::wstring folder = ec ? std::wstring() : absolute.parent_path().wstring();
    std::wstring line = L"\"" + file + L"\"";
    for (const auto& a : arguments) {
        line += L' ';
        appendQuoted(line, wide(a));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(file.c_str(), line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
        const DWORD err = GetLastError();
        const ErrorKind kind = err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND
                                   ? ErrorKind::NotFound
                               : err == ERROR_ACCESS_DENIED ? ErrorKind::AccessDenied
                                                            : ErrorKind::Other;
        return Status::failure(kind, "Can't start " + program + " (Windows error " +
                                         std::to_string(err) + ")");
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return Status::success();
}

} // namespace qdt
