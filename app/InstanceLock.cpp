#include "app/InstanceLock.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QSysInfo>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/RunLog.h"

namespace {

// What was in the way gets a name of its own beside the lock, so that nothing is lost and the
// next start finds the name free.
bool setAside(const QString& path)
{
    const QString aside =
        path + QStringLiteral(".broken-") + QString::number(QDateTime::currentMSecsSinceEpoch());
#ifdef _WIN32
    return MoveFileExW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()),
                       reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(aside).utf16()),
                       0) != 0;
#else
    return ::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) == 0;
#endif
}

#ifndef _WIN32
// The content a lock file has always had: the process id, the program and the machine. Only for
// a person who looks; the lock itself is the system's.
QByteArray lockContent()
{
    return QByteArray::number(QCoreApplication::applicationPid()) + '\n' +
           QCoreApplication::applicationName().toUtf8() + '\n' +
           QSysInfo::machineHostName().toUtf8() + '\n';
}
#endif

} // namespace

InstanceLock::InstanceLock(const QString& workDir)
    : fileName_(QDir(workDir).filePath(QStringLiteral("patcher.lock")))
{
    QDir().mkpath(workDir);
#ifdef _WIN32
    const std::wstring name =
        reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(fileName_).utf16());
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD attributes = GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
            if (attempt == 0 && setAside(fileName_))
                continue;
            problem_ = QStringLiteral("a folder or a link is in the way and can't be moved");
            return;
        }
        HANDLE h =
            CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            // A file made read-only (or one another user left) is in the way too.
            if (attempt == 0 && error == ERROR_ACCESS_DENIED && setAside(fileName_))
                continue;
            problem_ = QStringLiteral("Windows error %1").arg(error);
            return;
        }
        OVERLAPPED at{};
        if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            const DWORD error = GetLastError();
            CloseHandle(h);
            if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
                state_ = State::HeldByAnotherCopy;
                return;
            }
            problem_ = QStringLiteral("Windows error %1").arg(error);
            return;
        }
        // Nothing is written: whatever the name may lead to (a link the system followed), it only
        // ever carries the lock.
        handle_ = h;
        state_ = State::Acquired;
        return;
    }
#else
    const QByteArray name = QFile::encodeName(fileName_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Never through a link, and never blocked by a pipe put there.
        const int fd =
            ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
        const int openError = errno;
        struct stat st
        {
        };
        // A second name of another file (a hard link) is as much in the way as a symbolic one:
        // the lock's content is written, and must never land in someone else's file.
        const bool regular =
            fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
        if (!regular) {
            if (fd >= 0)
                ::close(fd);
            const bool inTheWay = fd >= 0 || openError == ELOOP || openError == EISDIR ||
                                  openError == ENXIO || openError == EACCES;
            if (attempt == 0 && inTheWay && setAside(fileName_))
                continue;
            problem_ = fd >= 0 ? QStringLiteral("something that is not a file is in the way")
                               : QString::fromLocal8Bit(std::strerror(openError));
            return;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK) {
                state_ = State::HeldByAnotherCopy;
                return;
            }
            problem_ = QString::fromLocal8Bit(std::strerror(error));
            return;
        }
        const QByteArray content = lockContent();
        if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, content.constData(), content.size(), 0) < 0) {
            // Only for a person who looks: the lock holds without it.
        }
        fd_ = fd;
        state_ = State::Acquired;
        return;
    }
#endif
}

InstanceLock::~InstanceLock()
{
#ifdef _WIN32
    if (handle_)
        CloseHandle(static_cast<HANDLE>(handle_));
#else
    if (fd_ >= 0)
        ::close(fd_);
#endif
}
