// The settings file that remembers the game folder, with real files: no window.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "game/GameDiscovery.h"

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
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

} // namespace
