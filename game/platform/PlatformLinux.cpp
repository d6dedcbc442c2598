// The platform layer on Linux, for games run under Wine, Proton or Lutris: the prefix's registry
// files, the /proc process list (Wine programs by the Windows path they were started with) and
// starting programs, Windows ones through Wine in the same prefix.
#include "game/platform/Platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <system_error>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/FileIo.h"
#include "game/platform/NativePath.h"
#include "game/platform/WinePrefix.h"

namespace qdt {

namespace {

bool isWineLoader(const std::string& fileName)
{
    return fileName == "wine" || fileName == "wine64" || fileName == "wine-preloader" ||
           fileName == "wine64-preloader";
}

// argv[0] of a process.
std::string firstArgument(const std::filesystem::path& procEntry)
{
    std::ifstream in(procEntry / "cmdline", std::ios::binary);
    std::string arg;
    if (in)
        std::getline(in, arg, '\0');
    return arg;
}

bool startsAsWindowsProgram(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    char magic[2] = {};
    return in.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

} // namespace

std::string readRegistryString(RegistryHive hive, const std::string& key, const std::string& value)
{
    const auto prefix = winePrefix();
    if (prefix.empty())
        return {};
    return readWineRegistryValue(
        prefix / (hive == RegistryHive::CurrentUser ? "user.reg" : "system.reg"), key, value);
}

Result<std::vector<std::string>> runningProcessPaths()
{
    using R = Result<std::vector<std::string>>;
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc", ec);
    if (ec)
        return R::failure(ErrorKind::ReadFailed,
                          "Can't list the processes in /proc: " + ec.message());
    std::vector<std::string> paths;
    for (std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
        if (ec)
            return R::failure(ErrorKind::ReadFailed,
                              "Can't list the processes in /proc: " + ec.message());
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code linkError;
        const auto exe = std::filesystem::read_symlink(it->path() / "exe", linkError);
        if (linkError) // gone, a kernel thread, or not ours to examine
            continue;
        if (isWineLoader(exe.filename().string()))
            paths.push_back(firstArgument(it->path()));
        else
            paths.push_back(displayPath(exe));
    }
    return R::success(std::move(paths));
}

Status startDetached(const std::string& program, const std::vector<std::string>& arguments)
{
    std::error_code ec;
    // Absolute, since the program's own folder becomes the working folder before it starts.
    const std::filesystem::path file = std::filesystem::absolute(nativePath(program), ec);
    if (ec)
        return Status::failure(ErrorKind::NotFound, "Can't start " + program + ": " + ec.message());
    const std::string folder = file.parent_path().string();
    std::vector<std::string> argv;
    if (startsAsWindowsProgram(file))
        argv.push_back("wine");
    argv.push_back(file.string());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);

    // The grandchild reports a failed exec through this pipe; a successful exec closes it.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return Status::failure(ErrorKind::Other,
                               std::string("Can't start ") + program + ": " + std::strerror(errno));
    const pid_t child = ::fork();
    if (child < 0) {
        const int err = errno;
        ::close(report[0]);
        ::close(report[1]);
        return Status::failure(ErrorKind::Other,
                               std::string("Can't start ") + program + ": " + std::strerror(err));
    }
    if (child == 0) {
        ::close(report[0]);
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0)
            ::_exit(grandchild < 0 ? 1 : 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::chdir(folder.c_str()) == 0)
            ::execvp(args[0], args.data());
        const int err = errno;
        (void)!::write(report[1], &err, sizeof err);
        ::_exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int execError = 0;
    ssize_t n;
    while ((n = ::read(report[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return Status::failure(ErrorKind::Other, "Can't start " + displayPath(file));
    if (n > 0)
        return Status::failure(execError == ENOENT   ? ErrorKind::NotFound
                               : execError == EACCES ? ErrorKind::AccessDenied
                                                     : ErrorKind::Other,
                               "Can't start " + displayPath(file) + ": " +
                                   std::strerror(execError));
    return Status::success();
}

} // namespace qdt
