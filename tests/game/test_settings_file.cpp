// The settings file that remembers the game folder, with real files: no window.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <filesystem>
#include <functional>

#ifndef _WIN32
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "app/RunLog.h"
#include "core/CheckedFile.h"
#include "game/GameDiscovery.h"
#include "tests/support/QtPath.h"

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Loaded
{
    bool returned = false; // within the wait
    qint64 ms = 0;
    QString path;
};

// loadSavedGamePath with this run's log in `logFolder`. On Linux it runs in a child process, so
// that a call that hangs or fills the memory is ended after `waitMs` instead of holding the test
// run.
Loaded loadWithin(const QString& file, const QString& logFolder, int waitMs)
{
    Loaded loaded;
    QElapsedTimer clock;
    clock.start();
#ifdef _WIN32
    (void)waitMs;
    runlog::start(logFolder);
    loaded.path = loadSavedGamePath(file);
    loaded.returned = true;
#else
    int fds[2];
    if (::pipe(fds) != 0)
        return loaded;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        runlog::start(logFolder);
        const QByteArray out = loadSavedGamePath(file).toUtf8();
        const bool sent = ::write(fds[1], out.constData(), out.size()) == out.size();
        ::_exit(sent ? 0 : 1);
    }
    ::close(fds[1]);
    QByteArray got;
    bool ended = false;
    while (!ended && clock.elapsed() < waitMs) {
        pollfd ready{fds[0], POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            ended = true;
        else
            got.append(buffer, static_cast<int>(n));
    }
    if (!ended)
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(fds[0]);
    loaded.returned = ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    loaded.path = QString::fromUtf8(got);
#endif
    loaded.ms = clock.elapsed();
    return loaded;
}

TEST(SettingsFile, WhatIsReadBack)
{
    struct Case
    {
        const char* what;
        QByteArray content;
        QString path;
    };
    const Case cases[] = {
        {"the file as it is written", R"({"launcherPath": "C:\\Games\\QD\\QuenDara.exe"})",
         QStringLiteral("C:\\Games\\QD\\QuenDara.exe")},
        {"other members are ignored", R"({"x": 1, "launcherPath": "/g/QuenDara.exe"})",
         QStringLiteral("/g/QuenDara.exe")},
        {"no path in it", R"({"x": 1})", QString()},
        {"a path that is no text", R"({"launcherPath": 12})", QString()},
        {"not an object", R"(["C:\\QuenDara.exe"])", QString()},
        {"cut off", R"({"launcherPath": "C:\\Ga)", QString()},
        {"empty", "", QString()},
    };
    for (const Case& c : cases) {
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("fallbackJson.json"));
        writeFile(file, c.content);
        EXPECT_EQ(loadSavedGamePath(file), c.path) << c.what;
    }
    QTemporaryDir dir;
    EXPECT_EQ(loadSavedGamePath(dir.filePath(QStringLiteral("none.json"))), QString());
    EXPECT_EQ(loadSavedGamePath(dir.path()), QString()) << "a folder in its place";
}

TEST(SettingsFile, SavedPathComesBackWholeAndReplacesTheOldOne)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // The work directory does not exist yet at the first save.
    const QString file = dir.filePath(QStringLiteral("work/fallbackJson.json"));
    const QString first = QStringLiteral("C:\\Игры\\Quen Dara \"1\"\\QuenDara.exe");
    const QString second = QStringLiteral("/home/иван/Games/QuenDara.exe");
    ASSERT_TRUE(saveGamePath(first, file));
    EXPECT_EQ(loadSavedGamePath(file), first);
    ASSERT_TRUE(saveGamePath(second, file));
    EXPECT_EQ(loadSavedGamePath(file), second);
    EXPECT_EQ(QDir(QFileInfo(file).absolutePath()).entryList(QDir::Files),
              QStringList{QStringLiteral("fallbackJson.json")})
        << "no temporary file stays";
}

TEST(SettingsFile, AFailedSaveLeavesTheFileBefore)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A folder where the file should be: the save fails and says so, and what was there stays.
    const QString blocked = dir.filePath(QStringLiteral("fallbackJson.json"));
    ASSERT_TRUE(QDir().mkpath(blocked + QStringLiteral("/inside")));
    EXPECT_FALSE(saveGamePath(QStringLiteral("C:\\QuenDara.exe"), blocked));
    EXPECT_TRUE(QFileInfo(blocked + QStringLiteral("/inside")).isDir());
    // A work directory that can't be made (a file stands in its way).
    const QString notAFolder = dir.filePath(QStringLiteral("plain"));
    writeFile(notAFolder, "x");
    EXPECT_FALSE(saveGamePath(QStringLiteral("C:\\QuenDara.exe"),
                              notAFolder + QStringLiteral("/fallbackJson.json")));
    QFile plain(notAFolder);
    ASSERT_TRUE(plain.open(QIODevice::ReadOnly));
    EXPECT_EQ(plain.readAll(), QByteArray("x"));
}

// Only a regular file of at most 64 KiB is read. Anything else in its place (a pipe, a link to a
// device that never ends, a folder, a large file) is passed over at once: no path, no wait, no
// memory spent, and the log says why.
TEST(SettingsFile, WhatIsNoSmallRegularFileIsPassedOverAtOnce)
{
    const QByteArray json = R"({"launcherPath": "C:\\Games\\QD\\QuenDara.exe")";
    const QString path = QStringLiteral("C:\\Games\\QD\\QuenDara.exe");
    auto padded = [&](int size) -> QByteArray {
        // Valid JSON with the path in it, blanks up to `size` bytes.
        QByteArray bytes = json;
        bytes += QByteArray(size - json.size() - 1, ' ');
        return bytes + '}';
    };
    struct Case
    {
        const char* what;
        std::function<void(const QString& file, const QString& elsewhere)> put;
        bool read; // the path comes back
    };
    const Case cases[] = {
        {"exactly 64 KiB", [&](const QString& f, const QString&) { writeFile(f, padded(65536)); },
         true},
        {"one byte over 64 KiB",
         [&](const QString& f, const QString&) { writeFile(f, padded(65537)); }, false},
        {"over 1 MiB", [&](const QString& f, const QString&) { writeFile(f, padded(1100000)); },
         false},
        {"a folder",
         [](const QString& f, const QString&) { ASSERT_TRUE(QDir().mkpath(f + "/inside")); },
         false},
#ifndef _WIN32
        {"a pipe nobody writes to",
         [](const QString& f, const QString&) {
             ASSERT_EQ(::mkfifo(QFile::encodeName(f).constData(), 0600), 0);
         },
         false},
        {"a link to /dev/zero",
         [](const QString& f, const QString&) {
             ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), f));
         },
         false},
        {"a link to a settings file elsewhere",
         [&](const QString& f, const QString& elsewhere) {
             writeFile(elsewhere, QByteArray(json + '}'));
             ASSERT_TRUE(QFile::link(elsewhere, f));
         },
         false},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("fallbackJson.json"));
        c.put(file, dir.filePath(QStringLiteral("other.json")));
        const QString logs = dir.filePath(QStringLiteral("logs"));
        const Loaded loaded = loadWithin(file, logs, 10000);
        EXPECT_TRUE(loaded.returned) << "no answer within 10 s";
        if (!loaded.returned)
            continue;
        EXPECT_LT(loaded.ms, 5000);
        EXPECT_EQ(loaded.path, c.read ? path : QString());
        const bool logged = readFile(QDir(logs).filePath(QStringLiteral("patcher.log")))
                                .contains("the settings file is not used");
        EXPECT_EQ(logged, !c.read);
    }
}

// A save replaces a link or a second name in the file's place; the file it led to stays as it
// was.
TEST(SettingsFile, ASaveReplacesALinkInsteadOfWritingThroughIt)
{
    struct Case
    {
        const char* what;
        bool symbolic;
    };
    const Case cases[] = {
        {"a second name of a file elsewhere", false},
#ifndef _WIN32
        {"a link to a file elsewhere", true},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString outside = dir.filePath(QStringLiteral("elsewhere/precious"));
        ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("elsewhere"))));
        writeFile(outside, "keep me");
        ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("work"))));
        const QString file = dir.filePath(QStringLiteral("work/fallbackJson.json"));
        if (c.symbolic) {
            ASSERT_TRUE(QFile::link(outside, file));
        } else {
            std::error_code ec;
            std::filesystem::create_hard_link(fsPath(outside), fsPath(file), ec);
            ASSERT_FALSE(ec) << ec.message();
        }
        const QString saved = QStringLiteral("C:\\Games\\QD\\QuenDara.exe");
        ASSERT_TRUE(saveGamePath(saved, file));
        EXPECT_EQ(readFile(outside), QByteArray("keep me"));
        EXPECT_EQ(qdt::entryAt(fsPath(file)).kind, qdt::EntryKind::OwnFile);
        EXPECT_EQ(loadSavedGamePath(file), saved);
    }
}

} // namespace
