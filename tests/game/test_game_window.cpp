// The window's side of finding, validating and starting the game: the settings file, "Find game"
// and "Browse", validation over a temporary game folder with real patches, "Start the game", the
// path watch and the close handling, with real processes and message boxes answered by the test.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#ifdef _WIN32
#include <QSettings>

#include <windows.h>

#include <cstdlib>
#endif

#include "app/Constants.h"
#include "app/QuenDaraTranslation.h"
#include "app/UiLanguage.h"
#include "core/Xxh64.h"
#include "distribution/FileDownloader.h"
#include "game/GameDiscovery.h"
#include "tests/support/FakeProcess.h"
#include "tests/support/JournalText.h"
#include "tests/support/MessageBoxDriver.h"
#include "tests/support/QtPath.h"
#include "tests/support/TestData.h"
#include "tests/support/TestLauncher.h"
#include "tests/support/WindowAccess.h"

namespace {

using testdata::Bytes;

QByteArray qbytes(const Bytes& b)
{
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<int>(b.size()));
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(bytes);
}

// Sets an environment variable that child processes inherit. Windows takes the value as UTF-16:
// the narrow form would lose the Cyrillic letters of a player's profile folder.
void setEnv(const char* name, const QString& value)
{
#ifdef _WIN32
    _wputenv_s(QString::fromLatin1(name).toStdWString().c_str(), value.toStdWString().c_str());
#else
    qputenv(name, value.toUtf8());
#endif
}

void unsetEnv(const char* name)
{
#ifdef _WIN32
    _wputenv_s(QString::fromLatin1(name).toStdWString().c_str(), L"");
#else
    qunsetenv(name);
#endif
}

// The path a process scan reports for a program started from `path`.
QString scannedPath(const QString& path)
{
#ifdef _WIN32
    return QDir::toNativeSeparators(path);
#else
    return path;
#endif
}

quint64 hashOf(const QByteArray& bytes)
{
    return qdt::xxh64(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// A function: workDir is built in another file, maybe after this one's globals.
QString settingsFilePath()
{
    return workDir + QStringLiteral("fallbackJson.json");
}

class GameWindow : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // The file dialog as widgets, so that the test can answer it.
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    }

    void SetUp() override
    {
        ASSERT_TRUE(testLauncherRunning());
        ASSERT_TRUE(game.isValid());
        ASSERT_TRUE(prefix.isValid());
        // The registry is read from this empty Wine prefix unless a test writes one.
        qputenv("WINEPREFIX", prefix.path().toUtf8());
        QDir(game.path()).mkpath(QStringLiteral("Quen Dara/Game/Bin"));
        QDir(game.path()).mkpath(QStringLiteral("Quen Dara/ZNGame"));
        archive = game.path() + QStringLiteral("/Quen Dara/ZNGame/data.lpk");
        writeAll(archive, source);
        auto*& downloader = WindowAccess::manifestDownloader(window);
        if (downloader) {
            QObject::disconnect(downloader, nullptr, &window, nullptr);
            delete downloader;
            downloader = nullptr;
        }
        QDir().mkpath(workDir);
        for (Languages lang : {0, 1, 2, 4})
            QFile::remove(workDir + patchFileName(lang));
        QFile::remove(workDir + QStringLiteral("data.lpk"));
        QFile::remove(settingsFilePath());
    }

    void TearDown() override { qunsetenv("WINEPREFIX"); }

    // The game path written the way the registry writes it.
    QString windowsStyleGamePath() const
    {
        return QDir::toNativeSeparators(game.path()) +
               QStringLiteral("\\Quen Dara\\Game\\Bin\\QuenDara.exe");
    }

    QByteArray patchFor(std::uint64_t seed) const
    {
        const Bytes src(source.begin(), source.end());
        return qbytes(testdata::makePatch(src, testdata::translationEdits(src.size(), 40, seed)));
    }

    void cache(Languages lang, const QByteArray& patch)
    {
        writeAll(workDir + patchFileName(lang), patch);
    }

    // How a test answers the boxes; unset, every box gets its first button.
    MessageBoxDriver::Chooser answer;
    MessageBoxDriver boxes{[this](const SeenMessageBox& box) {
        if (answer)
            return answer(box);
        return box.buttons.isEmpty() ? QString() : box.buttons.first();
    }};
    QuenDaraTranslation window;
    Ui::QuenDaraTranslationClass& ui = WindowAccess::ui(window);
    QString& gamePath = WindowAccess::gamePath(window);
    std::array<quint64, 3>& hashes = WindowAccess::patchHashes(window);
    Languages& current = WindowAccess::currentLanguage(window);
    QTemporaryDir game;
    QTemporaryDir prefix;
    QString archive;
    const QByteArray source = qbytes(testdata::makeArchive(200000, 7));
};

// ---- settings file -------------------------------------------------------------------------

TEST_F(GameWindow, SavedPathRoundTripsAsRawUtf8InThreeLines)
{
    QDir(workDir).removeRecursively();
    const QString path = QStringLiteral("C:\\Игры\\Quen Dara\\QuenDara.exe");
    saveGamePath(path);
    EXPECT_EQ(
        readAll(settingsFilePath()),
        QStringLiteral("{\n    \"launcherPath\": \"C:\\\\Игры\\\\Quen Dara\\\\QuenDara.exe\"\n}")
            .toUtf8());
    EXPECT_EQ(loadSavedGamePath(), path);
    // Written through a temporary file that does not stay behind.
    EXPECT_EQ(QDir(workDir).entryList(QDir::Files),
              QStringList{QStringLiteral("fallbackJson.json")});
    saveGamePath(QStringLiteral("D:\\QD\\QuenDara.exe"));
    EXPECT_EQ(loadSavedGamePath(), QStringLiteral("D:\\QD\\QuenDara.exe"));
}

TEST_F(GameWindow, UnusableSettingsFilesGiveNoPath)
{
    struct Case
    {
        const char* what;
        QByteArray content;
        QString expected;
    };
    const Case cases[] = {
        {"number", QByteArrayLiteral("{\"launcherPath\": 5}"), QString()},
        {"array", QByteArrayLiteral("[\"C:\\\\QD\\\\QuenDara.exe\"]"), QString()},
        {"garbage", QByteArray(1, '\x9c'), QString()},
        {"empty", QByteArray(), QString()},
        {"other member", QByteArrayLiteral("{\"gamePath\": \"C:\\\\x\"}"), QString()},
        {"cut short", QByteArrayLiteral("{\"launcherPath\": \"C:\\\\QD"), QString()},
        {"extra members", QByteArrayLiteral("{\"a\": 1, \"launcherPath\": \"C:\\\\QD\\\\Q.exe\"}"),
         QStringLiteral("C:\\QD\\Q.exe")},
    };
    for (const auto& c : cases) {
        writeAll(settingsFilePath(), c.content);
        EXPECT_EQ(loadSavedGamePath(), c.expected) << c.what;
        // Reading never rewrites the file.
        EXPECT_EQ(readAll(settingsFilePath()), c.content) << c.what;
    }
    QFile::remove(settingsFilePath());
    EXPECT_EQ(loadSavedGamePath(), QString());
}

// ---- Find game and Browse ------------------------------------------------------------------

TEST_F(GameWindow, FindGamePrefersTheRegistryThenTheSettingsFile)
{
    saveGamePath(game.path() + QStringLiteral("/Quen Dara/Game/Bin/QuenDara.exe"));
    window.findGame();
    EXPECT_EQ(gamePath, game.path() + QStringLiteral("/Quen Dara/Game/Bin/QuenDara.exe"));
    EXPECT_EQ(ui.lineEditGameFolder->text(), gamePath);
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();

#ifdef _WIN32
    // The launcher's key in this user's registry (the test program's own Wine prefix).
    const QString folder = QDir::toNativeSeparators(game.path()) + QStringLiteral("\\Quen Dara");
    const QString key = QStringLiteral("HKEY_CURRENT_USER\\Software\\KVTR\\Apps\\45");
    {
        QSettings reg(key, QSettings::NativeFormat);
        reg.setValue(QStringLiteral("GamePath"), folder);
        reg.setValue(QStringLiteral("ExecName"),
                     QStringLiteral("Game\\Bin\\QuenDara.exe -launch_from_launcher"));
    }
    window.findGame();
    QSettings(QStringLiteral("HKEY_CURRENT_USER\\Software\\KVTR"), QSettings::NativeFormat)
        .remove(QStringLiteral("Apps"));
    EXPECT_EQ(gamePath, folder + QStringLiteral("\\Game\\Bin\\QuenDara.exe"));
#else
    // The launcher's key in the prefix's registry; the game folder through drive Z:.
    const QString zPath = QStringLiteral("Z:") + QDir::toNativeSeparators(game.path()) +
                          QStringLiteral("\\Quen Dara");
    QByteArray reg =
        "WINE REGISTRY Version 2\n\n[Software\\\\KVTR\\\\Apps\\\\45] 1\n\"GamePath\"=\"" +
        zPath.toUtf8().replace("\\", "\\\\") +
        "\"\n\"ExecName\"=\"Game\\\\Bin\\\\QuenDara.exe -launch_from_launcher\"\n";
    writeAll(prefix.path() + QStringLiteral("/user.reg"), reg);
    QDir(prefix.path()).mkpath(QStringLiteral("dosdevices"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/"), prefix.path() + QStringLiteral("/dosdevices/z:")));
    window.findGame();
    EXPECT_EQ(gamePath, zPath + QStringLiteral("\\Game\\Bin\\QuenDara.exe"));
#endif
    EXPECT_EQ(ui.lineEditGameFolder->text(), gamePath);
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
}

// Find game or Browse with nothing usable: the window stays open with the folder it had, and
// says what was wrong with the one found or chosen; nothing is saved.
TEST_F(GameWindow, FindGameOrBrowseWithoutAUsableFolderKeepsThePreviousOne)
{
    window.show();
    gamePath = windowsStyleGamePath();
    ui.lineEditGameFolder->setText(gamePath);
    const QString previous = gamePath;
    window.findGame();
    EXPECT_EQ(gamePath, previous);
    EXPECT_EQ(ui.lineEditGameFolder->text(), previous);
    ASSERT_EQ(boxes.texts().size(), 1);
    EXPECT_TRUE(boxes.texts()[0].startsWith(QStringLiteral("Could not find the game")))
        << boxes.texts()[0].toStdString();
    EXPECT_TRUE(boxes.texts()[0].endsWith(QStringLiteral("The game folder stays ") + previous +
                                          QLatin1Char('.')))
        << boxes.texts()[0].toStdString();
    EXPECT_TRUE(window.isVisible());

    // A folder without the archive, as Browse would bring it.
    const QString wrong = game.path() + QStringLiteral("/Elsewhere/Game/Bin/QuenDara.exe");
    QDir(game.path()).mkpath(QStringLiteral("Elsewhere/ZNGame"));
    EXPECT_FALSE(WindowAccess::takeGameFolder(window, wrong));
    EXPECT_EQ(gamePath, previous);
    EXPECT_EQ(ui.lineEditGameFolder->text(), previous);
    ASSERT_EQ(boxes.texts().size(), 2);
    EXPECT_TRUE(boxes.texts()[1].startsWith(
        QStringLiteral("Could not find the game archive data.lpk in that folder:")))
        << boxes.texts()[1].toStdString();
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(QFile::exists(settingsFilePath()));
}

// Before the manifest has arrived, a chosen folder is taken and saved, but its cached patches
// are not reconciled: every published hash would read as none and roll the translation back.
TEST_F(GameWindow, FolderChosenBeforeTheManifestArrivesWaitsForIt)
{
    const QByteArray english = patchFor(1);
    cache(languageEnglish, english);
    gamePath = windowsStyleGamePath();
    ASSERT_TRUE(window.applyPatch(languageEnglish, english));
    const QByteArray translated = readAll(archive);
    WindowAccess::manifest(window) = nlohmann::json::object();
    // A manifest download still on its way (to a port where nothing answers soon).
    auto*& downloader = WindowAccess::manifestDownloader(window);
    ASSERT_EQ(downloader, nullptr);
    downloader =
        new FileDownloader(QUrl(QStringLiteral("http://127.0.0.1:9/patch.json")), {}, &window);
    EXPECT_TRUE(WindowAccess::takeGameFolder(window, windowsStyleGamePath()));
    EXPECT_EQ(readAll(archive), translated);
    EXPECT_TRUE(QFile::exists(settingsFilePath()));
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    downloader->cancel();
    delete downloader;
    downloader = nullptr;
}

TEST_F(GameWindow, BrowseTakesTheChosenFileAndCancelChangesNothing)
{
    const QString chosen = game.path() + QStringLiteral("/Quen Dara/Game/Bin/QuenDara.exe");
    writeAll(chosen, QByteArrayLiteral("MZ"));
    gamePath = QStringLiteral("before");
    ui.lineEditGameFolder->setText(QStringLiteral("before"));
    int answered = 0;
    // Polls for the dialog (bounded: 250 polls of 20 ms), then answers it.
    QTimer poll;
    int polls = 0;
    bool acceptNext = false;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible()) {
            if (++polls > 250)
                poll.stop();
            return;
        }
        poll.stop();
        ++answered;
        if (acceptNext) {
            dialog->selectFile(chosen);
            if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(QFileInfo(chosen).fileName());
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        } else {
            QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
        }
    });
    auto answer = [&](bool accept) {
        acceptNext = accept;
        polls = 0;
        poll.start(20);
    };
    answer(false);
    window.browseGameFolder();
    EXPECT_EQ(answered, 1);
    EXPECT_EQ(gamePath, QStringLiteral("before"));
    EXPECT_EQ(ui.lineEditGameFolder->text(), QStringLiteral("before"));

    // The dialog starts where the field points.
    ui.lineEditGameFolder->setText(QFileInfo(chosen).absolutePath());
    answer(true);
    window.browseGameFolder();
    EXPECT_EQ(answered, 2);
#ifdef _WIN32
    // The dialog answers with "/"; the path is kept with "\" as the registry writes it.
    const QString expected = QString(chosen).replace(QLatin1Char('/'), QLatin1Char('\\'));
    EXPECT_TRUE(expected.contains(QLatin1Char('\\')));
#else
    // A Unix path stays as it is; it leads to the archive all the same.
    const QString expected = chosen;
#endif
    EXPECT_EQ(gamePath, expected);
    EXPECT_EQ(ui.lineEditGameFolder->text(), expected);
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(current, languageOriginal);
    // A validated folder is remembered for the next start.
    EXPECT_EQ(loadSavedGamePath(), expected);
}

// ---- validation ----------------------------------------------------------------------------

// Validation clears what a killed patcher left beside the archive and in the work directory, and
// nothing that only looks like it.
TEST_F(GameWindow, ValidationClearsAKilledRunsTemporaries)
{
    const QStringList stale = {archive + QStringLiteral(".tmp-4242-1-0"),
                               workDir + QStringLiteral("data.lpk.tmp-4242-2-0"),
                               workDir + QStringLiteral("patch_KR.data.tmp-4242-3-0")};
    const QStringList kept = {archive + QStringLiteral(".tmp-notes"),
                              archive + QStringLiteral(".tmp-1-2"),
                              workDir + QStringLiteral("data.lpk.tmp-x-1-2")};
    for (const QString& path : stale + kept)
        writeAll(path, QByteArrayLiteral("left over"));
    gamePath = windowsStyleGamePath();
    window.validateGameFolder();
    for (const QString& path : stale)
        EXPECT_FALSE(QFile::exists(path)) << path.toStdString();
    for (const QString& path : kept)
        EXPECT_EQ(readAll(path), QByteArrayLiteral("left over")) << path.toStdString();
    EXPECT_EQ(readAll(archive), source);
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    for (const QString& path : kept)
        QFile::remove(path);
}

// A patcher stopped while it wrote the translation into the archive (held by the launcher) left
// a journal, the patched copy and a half-written archive: validation finishes the write before it
// looks at the archive, says so, and then finds the translation applied.
TEST_F(GameWindow, ValidationFinishesAStoppedInPlaceWriteAndSaysSo)
{
    const QByteArray english = patchFor(1);
    cache(languageEnglish, english);
    const QByteArray result = qbytes(testdata::applyEdits(
        Bytes(source.begin(), source.end()), testdata::translationEdits(source.size(), 40, 1)));
    writeAll(archive, result.left(100000) + source.mid(100000));
    writeAll(archive + QStringLiteral(".tmp-4242-7-0"), result);
    const auto le64 = [&english](int at) {
        quint64 v = 0;
        for (int i = 7; i >= 0; --i)
            v = (v << 8) | static_cast<unsigned char>(english[at + i]);
        return v;
    };
    const std::string journal =
        testjournal::forArchive(fsPath(archive), "data.lpk.tmp-4242-7-0", le64(16), le64(8), {},
                                static_cast<std::uint64_t>(result.size()));
    writeAll(archive + QStringLiteral(".patching"), QByteArray::fromStdString(journal));
    WindowAccess::manifest(window) = {{"xxhash_EN", hashOf(english)}};
    gamePath = windowsStyleGamePath();
    window.validateGameFolder();
    ASSERT_EQ(boxes.texts().size(), 1);
    EXPECT_TRUE(boxes.texts()[0].contains(QStringLiteral("has now been completed")))
        << boxes.texts()[0].toStdString();
    EXPECT_EQ(readAll(archive), result);
    EXPECT_EQ(current, languageEnglish);
    EXPECT_FALSE(QFile::exists(archive + QStringLiteral(".patching")));
    EXPECT_FALSE(QFile::exists(archive + QStringLiteral(".tmp-4242-7-0")));
}

TEST_F(GameWindow, ValidationDetectsTheAppliedTranslation)
{
    const QByteArray english = patchFor(1);
    const QByteArray russian = patchFor(2);
    cache(languageEnglish, english);
    cache(languageRussian, russian);
    // Forward slashes find the archive as backslashes do.
    gamePath = game.path() + QStringLiteral("/Quen Dara/Game/Bin/QuenDara.exe");
    ASSERT_TRUE(window.applyPatch(languageRussian, russian));
    WindowAccess::manifest(window) = {
        {"xxhash_EN", hashOf(english)}, {"xxhash_RU", hashOf(russian)}, {"xxhash_EN_M", 12345}};
    current = languageOriginal;
    hashes = {{0, 0, 0}};
    window.validateGameFolder();
    EXPECT_EQ(current, languageRussian);
    EXPECT_EQ(hashes[0], hashOf(english)); // current, though not applied
    EXPECT_EQ(hashes[1], 0u);              // no file
    EXPECT_EQ(hashes[2], hashOf(russian));
    EXPECT_TRUE(ui.pushButtonRussian->isChecked());
    EXPECT_TRUE(ui.pushButtonStart->isEnabled());
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(readAll(archive),
              qbytes(testdata::applyEdits(Bytes(source.begin(), source.end()),
                                          testdata::translationEdits(source.size(), 40, 2))));
}

TEST_F(GameWindow, ValidationRollsBackAnOutdatedTranslation)
{
    const QByteArray english = patchFor(1);
    cache(languageEnglish, english);
    gamePath = windowsStyleGamePath();
    ASSERT_TRUE(window.applyPatch(languageEnglish, english));
    ASSERT_NE(readAll(archive), source);
    WindowAccess::manifest(window) = {{"xxhash_EN", hashOf(english) + 1}};
    window.validateGameFolder();
    EXPECT_EQ(readAll(archive), source);
    EXPECT_EQ(hashes[0], 0u);
    EXPECT_EQ(current, languageOriginal);
    EXPECT_FALSE(ui.pushButtonEnglish->isChecked());
}

// An outdated translation whose reverse patch was lost (deleted, or damaged by a disk error or an
// antivirus) is rolled back with the backup copy of the original; only without that backup does
// it stay, and the player is told how to get the original back.
TEST_F(GameWindow, ValidationRollsBackWithTheBackupWhenTheReversePatchIsLost)
{
    struct Case
    {
        const char* what;
        std::function<void(const QString& reverse, const QString& backup)> damage;
        bool restored;
    };
    const Case cases[] = {
        {"reverse patch deleted", [](const QString& r, const QString&) { QFile::remove(r); }, true},
        {"reverse patch cut short",
         [](const QString& r, const QString&) { writeAll(r, readAll(r).left(40)); }, true},
        {"reverse patch with a damaged record",
         [](const QString& r, const QString&) {
             QByteArray bytes = readAll(r);
             bytes[bytes.size() - 3] = static_cast<char>(bytes[bytes.size() - 3] ^ 0x5a);
             writeAll(r, bytes);
         },
         true},
        {"reverse patch and backup deleted",
         [](const QString& r, const QString& b) {
             QFile::remove(r);
             QFile::remove(b);
         },
         false},
        {"reverse patch deleted, backup of another archive",
         [](const QString& r, const QString& b) {
             QFile::remove(r);
             writeAll(b, QByteArrayLiteral("not the original"));
         },
         false},
    };
    const QString reverse = workDir + patchFileName(languageOriginal);
    const QString backup = workDir + QStringLiteral("data.lpk");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeAll(archive, source);
        current = languageOriginal;
        const QByteArray english = patchFor(1);
        cache(languageEnglish, english);
        gamePath = windowsStyleGamePath();
        ASSERT_TRUE(window.applyPatch(languageEnglish, english));
        const QByteArray translated = readAll(archive);
        c.damage(reverse, backup);
        const auto seen = boxes.texts().size();
        WindowAccess::manifest(window) = nlohmann::json::array(); // nothing published any more
        window.validateGameFolder();
        const QStringList said = boxes.texts().mid(seen);
        if (c.restored) {
            EXPECT_EQ(readAll(archive), source);
            EXPECT_EQ(current, languageOriginal);
            EXPECT_TRUE(said.isEmpty()) << said.join(QLatin1Char('|')).toStdString();
            // The way back is whole again for the next time.
            const QByteArray kept = readAll(reverse);
            ASSERT_GE(kept.size(), 24);
            const auto le64 = [&kept](int at) {
                quint64 v = 0;
                for (int i = 7; i >= 0; --i)
                    v = (v << 8) | static_cast<unsigned char>(kept[at + i]);
                return v;
            };
            EXPECT_EQ(le64(8), hashOf(translated));
            EXPECT_EQ(le64(16), hashOf(source));
        } else {
            // The archive stays translated, and the window says so, shows it, and says what to do.
            EXPECT_EQ(readAll(archive), translated);
            EXPECT_EQ(current, languageEnglish);
            EXPECT_TRUE(ui.pushButtonEnglish->isChecked());
            ASSERT_EQ(said.size(), 2) << said.join(QLatin1Char('|')).toStdString();
            EXPECT_TRUE(said[0].contains(QStringLiteral("repair the game files with the ORBEX "
                                                        "launcher")))
                << said[0].toStdString();
            EXPECT_EQ(said[1], QStringLiteral("The translation in the game files is out of date, "
                                              "and it could not be removed, so it stays "
                                              "applied."));
        }
        EXPECT_EQ(hashes[0], 0u);
    }
}

TEST_F(GameWindow, ValidationTreatsAStringHashAsNone)
{
    const QByteArray machine = patchFor(3);
    cache(languageEnglishMachine, machine);
    gamePath = windowsStyleGamePath();
    WindowAccess::manifest(window) = {{"xxhash_EN_M", std::to_string(hashOf(machine))},
                                      {"xxhash_RU", hashOf(QByteArray())}};
    window.validateGameFolder();
    EXPECT_EQ(hashes[1], 0u);
    // The hash of empty content, published, matches a missing file.
    EXPECT_EQ(hashes[2], hashOf(QByteArray()));
    EXPECT_EQ(current, languageOriginal);
    EXPECT_EQ(readAll(archive), source);

    WindowAccess::manifest(window)["xxhash_EN_M"] = hashOf(machine);
    window.validateGameFolder();
    EXPECT_EQ(hashes[1], hashOf(machine));
}

// A folder without the game's archive (the archive or its whole content folder missing) is never
// a dead end: the window says what is missing, stays open with Find game and Browse, and keeps the
// languages waiting. Nothing is created in the folder.
TEST_F(GameWindow, ValidationOfAFolderWithoutTheGameKeepsTheWindowOpen)
{
    ASSERT_TRUE(QFile::remove(archive));
    const struct
    {
        const char* what;
        QString path;
        QString folder;
    } cases[] = {
        {"archive missing", windowsStyleGamePath(),
         QDir::toNativeSeparators(game.path()) +
             QStringLiteral("\\Quen Dara\\Game\\Bin\\..\\..\\ZNGame\\")},
        {"content folder missing",
         QDir::toNativeSeparators(game.path()) + QStringLiteral("\\Elsewhere\\Bin\\QuenDara.exe"),
         QDir::toNativeSeparators(game.path()) +
             QStringLiteral("\\Elsewhere\\Bin\\..\\..\\ZNGame\\")},
    };
    window.show();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        gamePath = c.path;
        hashes = {{1, 2, 3}};
        current = languageOriginal;
        WindowAccess::manifest(window) = {{"filename_EN", "http://127.0.0.1:9/en"}};
        window.refreshLanguageButtons(false);
        const auto seen = boxes.texts().size();
        window.validateGameFolder();
        ASSERT_EQ(boxes.texts().size(), seen + 1);
        EXPECT_EQ(boxes.texts().back(),
                  QStringLiteral("Could not find the game archive data.lpk in that folder:\n") +
                      c.folder +
                      QStringLiteral("\nPlease check the game folder.\nYou can choose the game "
                                     "folder with Find game or Browse."));
        EXPECT_TRUE(window.isVisible());
        EXPECT_FALSE(ui.pushButtonEnglish->isEnabled());
        EXPECT_TRUE(ui.toolButtonFindGame->isEnabled());
        EXPECT_TRUE(ui.toolButtonGameFolder->isEnabled());
        EXPECT_EQ(hashes, (std::array<quint64, 3>{{1, 2, 3}}));
        EXPECT_EQ(gamePath, c.path);
    }
    EXPECT_FALSE(QFile::exists(archive));
    EXPECT_FALSE(QDir(game.path() + QStringLiteral("/ZNGame")).exists());

    // Once a folder validates the languages are there again.
    writeAll(archive, source);
    window.findGame(); // nothing in the registry, nothing saved: the folder stays
    gamePath = windowsStyleGamePath();
    window.validateGameFolder();
    EXPECT_TRUE(ui.pushButtonEnglish->isEnabled());
}

// The game moved: the registry still names the old folder, which is gone. The folder saved from
// the last run is tried next, validated and used, without a message.
TEST_F(GameWindow, ValidationFallsBackToTheSavedFolderWhenTheRegistryOneIsGone)
{
    saveGamePath(windowsStyleGamePath());
    gamePath =
        QDir::toNativeSeparators(game.path()) + QStringLiteral("\\Old Drive\\Bin\\QuenDara.exe");
    const QByteArray english = patchFor(1);
    cache(languageEnglish, english);
    WindowAccess::manifest(window) = {{"xxhash_EN", hashOf(english)},
                                      {"filename_EN", "http://127.0.0.1:9/en"}};
    window.validateGameFolder();
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(gamePath, windowsStyleGamePath());
    EXPECT_EQ(ui.lineEditGameFolder->text(), windowsStyleGamePath());
    EXPECT_EQ(hashes[0], hashOf(english));
    EXPECT_TRUE(ui.pushButtonEnglish->isEnabled());
}

#ifdef _WIN32
// The launcher holding the archive for reading only: validation says that another program uses
// the game files and that they were not changed, not that administrator rights are missing.
TEST_F(GameWindow, ValidationOfAnArchiveHeldForReadingSaysAnotherProgramUsesIt)
{
    gamePath = windowsStyleGamePath();
    WindowAccess::manifest(window) = {{"filename_EN", "http://127.0.0.1:9/en"}};
    window.refreshLanguageButtons(false);
    ASSERT_TRUE(ui.pushButtonEnglish->isEnabled());
    window.show();
    HANDLE held = CreateFileW(
        reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(archive).utf16()), GENERIC_READ,
        FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    window.validateGameFolder();
    CloseHandle(held);
    ASSERT_EQ(boxes.texts().size(), 1);
    EXPECT_TRUE(boxes.texts()[0].startsWith(QStringLiteral("Another program is using the game "
                                                           "files in ")))
        << boxes.texts()[0].toStdString();
    // The holder is nearly always the launcher at work: wait for it, then start again.
    const QStringList lines = boxes.texts()[0].split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 4) << boxes.texts()[0].toStdString();
    EXPECT_EQ(lines[1], QStringLiteral("The launcher may be updating or checking the game."));
    EXPECT_EQ(lines[2], QStringLiteral("Please wait until it has finished and start Quen Dara "
                                       "Translation again."));
    EXPECT_EQ(lines[3], QStringLiteral("The game files were not changed."));
    // The window stays, and the languages wait.
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(ui.pushButtonEnglish->isEnabled());
    EXPECT_EQ(readAll(archive), source);
}
#endif

// ---- patch day: the launcher changes the game under the translation ---------------------

// The launcher updated the game while a translation was applied, and no translation has been
// published for the new version yet. At start-up the player is told once; a click on a language
// is refused at once, without a pass over the archive or a copy of it in the game's folder, and
// says the game was most likely updated; closing leaves the updated game as it is.
TEST_F(GameWindow, AGameUpdateWithoutATranslationForItIsExplainedAndNeverCopied)
{
    const QByteArray english = patchFor(1);
    const QByteArray russian = patchFor(2);
    cache(languageEnglish, english);
    cache(languageRussian, russian);
    gamePath = windowsStyleGamePath();
    ASSERT_TRUE(window.applyPatch(languageRussian, russian));
    // The update: a new archive in place of the translated one.
    const QByteArray updated = qbytes(testdata::makeArchive(230000, 77));
    writeAll(archive + QStringLiteral(".new"), updated);
    ASSERT_TRUE(QFile::remove(archive));
    ASSERT_TRUE(QFile::rename(archive + QStringLiteral(".new"), archive));

    WindowAccess::manifest(window) = {{"xxhash_EN", hashOf(english)},
                                      {"filename_EN", "http://127.0.0.1:9/en"},
                                      {"xxhash_RU", hashOf(russian)},
                                      {"filename_RU", "http://127.0.0.1:9/ru"}};
    current = languageOriginal;
    window.validateGameFolder();
    ASSERT_EQ(boxes.texts().size(), 1);
    const QStringList startUp = boxes.texts()[0].split(QLatin1Char('\n'));
    EXPECT_EQ(startUp.value(0), QStringLiteral("The game files are different from the ones the "
                                               "published translations were made for."));
    EXPECT_TRUE(boxes.texts()[0].contains(QStringLiteral("most likely updated")));
    EXPECT_EQ(current, languageOriginal);
    // Said once: a second validation (Find game, the path watch) does not repeat it.
    window.validateGameFolder();
    EXPECT_EQ(boxes.texts().size(), 1);

    const QString content = QFileInfo(archive).absolutePath();
    const QDateTime folderBefore = QFileInfo(content).lastModified();
    QTest::qWait(20);
    window.selectLanguage(languageEnglish);
    ASSERT_EQ(boxes.texts().size(), 2);
    const QStringList lines = boxes.texts()[1].split(QLatin1Char('\n'));
    EXPECT_EQ(lines.value(0),
              QStringLiteral("Game files are different from expected, can't apply the patch."));
    EXPECT_TRUE(lines.value(1).contains(QStringLiteral("most likely updated")))
        << boxes.texts()[1].toStdString();
    EXPECT_TRUE(boxes.texts()[1].contains(QStringLiteral("once the translators publish it")));
    // Nothing was made in the game's folder, not even for a moment.
    EXPECT_EQ(QFileInfo(content).lastModified(), folderBefore);
    EXPECT_EQ(readAll(archive), updated);
    EXPECT_EQ(ui.progressBar->format(), QStringLiteral("Applying patch...fail!"));
    EXPECT_TRUE(ui.pushButtonEnglish->isEnabled());

    ui.restoreCheckbox->setChecked(true);
    window.show();
    EXPECT_TRUE(window.close());
    EXPECT_EQ(readAll(archive), updated);
    EXPECT_EQ(boxes.texts().size(), 2);
}

// The launcher changed the game while the window showed our translation applied: a click on the
// checked language takes the check away. After a repair (the original is back) that is all; after
// an update the player is told that the translation is no longer in the game. The archive is left
// as the launcher made it either way.
TEST_F(GameWindow, UncheckingAfterTheLauncherChangedTheGameLeavesItsArchive)
{
    const QByteArray updated = qbytes(testdata::makeArchive(190000, 78));
    WindowAccess::manifest(window) = {{"filename_EN", "http://127.0.0.1:9/en"}};
    for (const bool repaired : {true, false}) {
        SCOPED_TRACE(repaired ? "repaired" : "updated");
        writeAll(archive, source);
        current = languageOriginal;
        const QByteArray english = patchFor(1);
        cache(languageEnglish, english);
        gamePath = windowsStyleGamePath();
        ASSERT_TRUE(window.applyPatch(languageEnglish, english));
        writeAll(archive, repaired ? source : updated);
        const auto seen = boxes.texts().size();
        window.selectLanguage(languageOriginal);
        EXPECT_EQ(readAll(archive), repaired ? source : updated);
        EXPECT_EQ(current, languageOriginal);
        EXPECT_FALSE(ui.pushButtonEnglish->isChecked());
        EXPECT_TRUE(ui.pushButtonEnglish->isEnabled());
        const QStringList said = boxes.texts().mid(seen);
        if (repaired) {
            EXPECT_TRUE(said.isEmpty()) << said.join(QLatin1Char('|')).toStdString();
        } else {
            ASSERT_EQ(said.size(), 1);
            EXPECT_TRUE(said[0].startsWith(
                QStringLiteral("The translation is no longer in the game files")))
                << said[0].toStdString();
        }
    }
}

// ---- Start the game, the path watch -------------------------------------------------------

QStringList waitForLines(const QString& path)
{
    for (int i = 0; i < 100 && !QFile::exists(path); ++i)
        QTest::qWait(50);
    return QString::fromUtf8(readAll(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

TEST_F(GameWindow, StartTheGameMinimisesAndStartsThePathWithTheSwitch)
{
    // Not named like the game, so that other tests running now never see a game running.
    const QString program = game.path() + QStringLiteral("/Quen Dara/Game/Bin/Start Test Game");
    ASSERT_TRUE(QFile::copy(QStringLiteral(QDT_HELPER_PATH), program));
    const QString record = game.path() + QStringLiteral("/record.txt");
    const QString folderRecord = game.path() + QStringLiteral("/folder.txt");
    setEnv("QDT_HELPER_RECORD", record);
    setEnv("QDT_HELPER_FOLDER", folderRecord);
    gamePath = program;
    window.show();
    QMetaObject::invokeMethod(&window, "startTheGame", Qt::DirectConnection);
    unsetEnv("QDT_HELPER_RECORD");
    unsetEnv("QDT_HELPER_FOLDER");
    EXPECT_TRUE(window.isMinimized());
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(waitForLines(record),
              (QStringList{program, QStringLiteral("-launch_from_launcher")}));
    // In the game's own folder, as a shortcut or the launcher starts it.
    const QStringList folder = waitForLines(folderRecord);
    ASSERT_EQ(folder.size(), 1);
    EXPECT_EQ(QFileInfo(folder[0]).canonicalFilePath(), QFileInfo(program).canonicalPath())
        << folder[0].toStdString();
    // The folder the game started from is remembered.
    EXPECT_EQ(loadSavedGamePath(), program);
}

// A game that can't be started: the window comes back and says why; nothing is saved.
TEST_F(GameWindow, FailedStartSaysWhyAndStaysVisible)
{
    gamePath = game.path() + QStringLiteral("/Quen Dara/Game/Bin/Missing Game.exe");
    window.show();
    QMetaObject::invokeMethod(&window, "startTheGame", Qt::DirectConnection);
    EXPECT_FALSE(window.isMinimized());
    EXPECT_TRUE(window.isVisible());
    ASSERT_EQ(boxes.texts().size(), 1);
    // The path it tried, why it failed, and what to do, each on its own line.
    const QStringList lines = boxes.texts()[0].split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 4) << boxes.texts()[0].toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("Could not start the game:"));
    EXPECT_EQ(lines[1], gamePath);
    EXPECT_FALSE(lines[2].isEmpty());
    EXPECT_TRUE(lines[3].contains(QStringLiteral("Browse"))) << lines[3].toStdString();
    EXPECT_FALSE(QFile::exists(settingsFilePath()));
}

TEST_F(GameWindow, StartTheGameRefusesWhileTheGameRuns)
{
    const QString record = game.path() + QStringLiteral("/record.txt");
    const QString program = game.path() + QStringLiteral("/Quen Dara/Game/Bin/Start Test Game");
    ASSERT_TRUE(QFile::copy(QStringLiteral(QDT_HELPER_PATH), program));
    gamePath = program;
    setEnv("QDT_HELPER_RECORD", record);
    {
        FakeProcess running(QStringLiteral("quendara.EXE"), QStringLiteral("Some Folder"));
        ASSERT_TRUE(running.running());
        QMetaObject::invokeMethod(&window, "startTheGame", Qt::DirectConnection);
    }
    unsetEnv("QDT_HELPER_RECORD");
    EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("Game is already running.")});
    EXPECT_FALSE(window.isMinimized());
    QTest::qWait(300);
    EXPECT_FALSE(QFile::exists(record));
}

TEST_F(GameWindow, PathWatchTakesTheRunningGamesPath)
{
    gamePath.clear();
    ui.lineEditGameFolder->setReadOnly(true);
    QString seenPath;
    {
        FakeProcess running(QStringLiteral("QuenDara.exe"), QStringLiteral("Quen Dara/Game/Bin"));
        ASSERT_TRUE(running.running());
        seenPath = scannedPath(running.executablePath());
        QMetaObject::invokeMethod(&window, "updateTimer", Qt::DirectConnection);
    }
    EXPECT_EQ(gamePath, seenPath);
    EXPECT_EQ(ui.lineEditGameFolder->text(), seenPath);
    EXPECT_FALSE(ui.lineEditGameFolder->isReadOnly());
    EXPECT_EQ(loadSavedGamePath(), seenPath);
    // Validation ran on the new path: its folder has no archive.
    EXPECT_EQ(boxes.texts().size(), 1);

    // With a path already known the watch does nothing at all.
    QFile::remove(settingsFilePath());
    gamePath = QStringLiteral("C:\\QD\\QuenDara.exe");
    ui.lineEditGameFolder->setText(QStringLiteral("unchanged"));
    QMetaObject::invokeMethod(&window, "updateTimer", Qt::DirectConnection);
    EXPECT_EQ(ui.lineEditGameFolder->text(), QStringLiteral("unchanged"));
    EXPECT_FALSE(QFile::exists(settingsFilePath()));
}

// ---- closing the window --------------------------------------------------------------------

class Closing : public GameWindow
{
protected:
    void applyEnglish()
    {
        gamePath = windowsStyleGamePath();
        english = patchFor(1);
        // Kept as a download keeps it.
        cache(languageEnglish, english);
        ASSERT_TRUE(window.applyPatch(languageEnglish, english));
        translated = readAll(archive);
        window.show();
    }
    QByteArray english;
    QByteArray translated;
};

// The questions at closing, in the system's language (these tests also run with a Russian one).
QString closingText(const char* english)
{
    return QCoreApplication::translate("QuenDaraTranslation", english);
}
const char* const kQuestion = "Could not restore original files while game is running.";
const char* const kStay = "I'll close the game first";
const char* const kLeave = "Exit anyway (not recommended)";

TEST_F(Closing, ClosesAtOnceWhenNothingIsToBeRestored)
{
    applyEnglish();
    ui.restoreCheckbox->setChecked(false);
    EXPECT_TRUE(window.close());
    EXPECT_EQ(readAll(archive), translated);

    current = languageOriginal;
    ui.restoreCheckbox->setChecked(true);
    window.show();
    EXPECT_TRUE(window.close());
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
}

TEST_F(Closing, RestoresTheOriginalAndCloses)
{
    applyEnglish();
    EXPECT_TRUE(window.close());
    EXPECT_EQ(readAll(archive), source);
    EXPECT_EQ(current, languageOriginal);
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
}

// Neither the reverse patch nor the backup: the player is told what failed and how to get the
// original back, then chooses between staying and leaving with the translation.
TEST_F(Closing, WithNoWayBackThePlayerIsToldAndDecides)
{
    applyEnglish();
    // Every file that could give the original back is gone: the reverse patch, the backup, and
    // the kept translation the reverse patch could be rebuilt from.
    ASSERT_TRUE(QFile::remove(workDir + patchFileName(languageOriginal)));
    ASSERT_TRUE(QFile::remove(workDir + QStringLiteral("data.lpk")));
    ASSERT_TRUE(QFile::remove(workDir + patchFileName(languageEnglish)));
    const QString notRestored = closingText(
        "The original game files were not restored, so the translation stays in the game.");
    const QString keepOpen = closingText("Keep the window open");
    QStringList answers{keepOpen, QString(), closingText(kLeave)}; // the middle one is Esc
    answer = [&](const SeenMessageBox& box) {
        if (box.text != notRestored)
            return box.buttons.first();
        EXPECT_EQ(box.title, QString());
        EXPECT_EQ(box.buttons, (QStringList{keepOpen, closingText(kLeave)}));
        return answers.isEmpty() ? keepOpen : answers.takeFirst();
    };
    EXPECT_FALSE(window.close());
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.close()); // Esc
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.close());
    EXPECT_EQ(readAll(archive), translated);
    EXPECT_EQ(boxes.texts().count(notRestored), 3);
    // Each time: what failed and what to do first. The game does not run, so the game's question
    // is never asked.
    EXPECT_EQ(boxes.texts().count(closingText(
                  "The original game files can't be restored: the reverse patch "
                  "patch_KR.data is missing or damaged, and there is no backup copy of the "
                  "original to take its place.\nThe translation stays in the game.\nTo get "
                  "the original game back, repair the game files with the ORBEX launcher.")),
              3);
    EXPECT_EQ(boxes.texts().count(closingText(kQuestion)), 0);
}

// The reverse patch was deleted or damaged while the translation is applied: closing restores the
// original from the backup copy, without a question.
TEST_F(Closing, WithTheReversePatchLostTheBackupRestores)
{
    for (const bool deleted : {true, false}) {
        SCOPED_TRACE(deleted ? "deleted" : "damaged");
        writeAll(archive, source);
        current = languageOriginal;
        applyEnglish();
        const QString reverse = workDir + patchFileName(languageOriginal);
        if (deleted)
            ASSERT_TRUE(QFile::remove(reverse));
        else
            writeAll(reverse, readAll(reverse).left(30));
        EXPECT_TRUE(window.close());
        EXPECT_EQ(readAll(archive), source);
        EXPECT_EQ(current, languageOriginal);
        EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    }
}

// The launcher repaired the game (the original is back) or updated it (a new archive) while the
// window was open with our translation applied: the window closes at once, asks nothing and
// leaves the launcher's archive exactly as it is.
TEST_F(Closing, AfterTheLauncherChangedTheGameTheWindowJustCloses)
{
    const QByteArray updated = qbytes(testdata::makeArchive(210000, 99));
    const struct
    {
        const char* what;
        QByteArray content;
        bool replaced; // a new file under the name, or the old one rewritten
    } cases[] = {
        {"repaired, file replaced", source, true},
        {"repaired, file rewritten", source, false},
        {"updated, file replaced", updated, true},
        {"updated, file rewritten", updated, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeAll(archive, source);
        current = languageOriginal;
        applyEnglish();
        if (c.replaced) {
            writeAll(archive + QStringLiteral(".launcher"), c.content);
            ASSERT_TRUE(QFile::remove(archive));
            ASSERT_TRUE(QFile::rename(archive + QStringLiteral(".launcher"), archive));
        } else {
            writeAll(archive, c.content);
        }
        EXPECT_TRUE(window.close());
        EXPECT_FALSE(window.isVisible());
        EXPECT_EQ(readAll(archive), c.content);
        EXPECT_EQ(current, languageOriginal);
        EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    }
}

TEST_F(Closing, WithTheGameRunningAsksAtOnce)
{
    applyEnglish();
    QStringList buttons;
    answer = [&buttons](const SeenMessageBox& box) {
        buttons = box.buttons;
        return closingText(kStay);
    };
    {
        FakeProcess running(QStringLiteral("QuenDara.exe"));
        ASSERT_TRUE(running.running());
        EXPECT_FALSE(window.close());
    }
    // No restore was tried, so the engine said nothing.
    EXPECT_EQ(boxes.texts(), QStringList{closingText(kQuestion)});
    EXPECT_EQ(buttons, (QStringList{closingText(kStay), closingText(kLeave)}));
    // On a Russian system the question and its answers are Russian.
    const bool russian = prefersRussian(QLocale::system().uiLanguages());
    for (const char* english : {kQuestion, kStay, kLeave})
        EXPECT_EQ(closingText(english) != QString::fromUtf8(english), russian) << english;
    EXPECT_EQ(readAll(archive), translated);
    EXPECT_EQ(current, languageEnglish);
}

} // namespace
