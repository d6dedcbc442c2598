// The window's applyPatch and isPatchApplied over real files: the game folder and the work
// directory in temporary folders, message boxes answered by the driver.
#include <gtest/gtest.h>

#include <algorithm>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>

#include "app/Constants.h"
#include "app/QuenDaraTranslation.h"
#include "distribution/FileDownloader.h"
#include "patching/WindowPatching.h"
#include "tests/support/MessageBoxDriver.h"
#include "tests/support/QtPath.h"
#include "tests/support/TestData.h"
#include "tests/support/TestLauncher.h"
#include "tests/support/WindowAccess.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using testdata::Bytes;

QByteArray qbytes(const Bytes& b)
{
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<int>(b.size()));
}

Bytes readBytes(const QString& path)
{
    return testdata::readFile(fsPath(path));
}

class WindowPatching : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testLauncherRunning());
        ASSERT_TRUE(game.isValid());
        QDir(game.path()).mkpath(QStringLiteral("Game/Bin"));
        QDir(game.path()).mkpath(QStringLiteral("ZNGame"));
        archive = game.path() + QStringLiteral("/ZNGame/data.lpk");
        testdata::writeFile(fsPath(archive), source);
        // Stop the manifest download: these tests are about the archive only.
        auto*& downloader = WindowAccess::manifestDownloader(window);
        if (downloader) {
            QObject::disconnect(downloader, nullptr, &window, nullptr);
            delete downloader;
            downloader = nullptr;
        }
        WindowAccess::gamePath(window) =
            QDir::toNativeSeparators(game.path()) + QStringLiteral("\\Game/Bin\\QuenDara.exe");
        WindowAccess::manifest(window) = {{"filename_EN", "http://127.0.0.1:9/en"},
                                          {"filename_EN_M", "http://127.0.0.1:9/enm"},
                                          {"filename_RU", "http://127.0.0.1:9/ru"}};
        QFile::remove(workDir + QStringLiteral("patch_KR.data"));
        QFile::remove(workDir + QStringLiteral("data.lpk"));
    }

    QByteArray patchFor(std::uint64_t seed) const
    {
        return qbytes(
            testdata::makePatch(source, testdata::translationEdits(source.size(), 50, seed)));
    }

    MessageBoxDriver boxes;
    QuenDaraTranslation window;
    Ui::QuenDaraTranslationClass& ui = WindowAccess::ui(window);
    QTemporaryDir game;
    QString archive;
    const Bytes source = testdata::makeArchive(300000, 42);
};

TEST_F(WindowPatching, TranslationThenRestore)
{
    const QByteArray patch = patchFor(1);
    window.refreshLanguageButtons(true);
    ASSERT_TRUE(window.applyPatch(languageEnglish, patch));
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(WindowAccess::currentLanguage(window), languageEnglish);
    EXPECT_EQ(ui.progressBar->format(), QStringLiteral("Applying patch...success!"));
    EXPECT_EQ(ui.progressBar->value(), ui.progressBar->maximum());
    EXPECT_TRUE(ui.pushButtonEnglish->isChecked());
    EXPECT_TRUE(ui.pushButtonStart->isEnabled());
    EXPECT_TRUE(window.isPatchApplied(patch));
    EXPECT_EQ(readBytes(workDir + QStringLiteral("data.lpk")), source);

    QFile reverseFile(workDir + QStringLiteral("patch_KR.data"));
    ASSERT_TRUE(reverseFile.open(QIODevice::ReadOnly));
    const QByteArray reverse = reverseFile.readAll();
    reverseFile.close();
    ASSERT_TRUE(window.applyPatch(languageOriginal, reverse));
    EXPECT_EQ(readBytes(archive), source);
    EXPECT_EQ(WindowAccess::currentLanguage(window), languageOriginal);
    EXPECT_FALSE(window.isPatchApplied(patch));
    EXPECT_FALSE(ui.pushButtonStart->isEnabled());
    // A restore keeps the reverse patch it used.
    EXPECT_TRUE(QFile::exists(workDir + QStringLiteral("patch_KR.data")));
}

TEST_F(WindowPatching, ProgressBarMovesWhileALargeArchiveIsPatched)
{
    const Bytes large = testdata::makeArchive(48u << 20, 6);
    testdata::writeFile(fsPath(archive), large);
    const QByteArray patch =
        qbytes(testdata::makePatch(large, testdata::translationEdits(large.size(), 2000, 6)));
    std::vector<int> values;
    QObject::connect(ui.progressBar, &QProgressBar::valueChanged,
                     [&values](int v) { values.push_back(v); });
    ASSERT_TRUE(window.applyPatch(languageEnglish, patch));
    const int steps = static_cast<int>(
        std::count_if(values.begin(), values.end(), [](int v) { return v > 0 && v < 1000; }));
    EXPECT_GE(steps, 2) << "values seen: " << values.size();
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end() - 1));
    EXPECT_EQ(ui.progressBar->value(), 1);
    EXPECT_EQ(ui.progressBar->maximum(), 1);
}

TEST_F(WindowPatching, AnotherTranslationIsUndoneFirst)
{
    const QByteArray english = patchFor(1);
    const QByteArray russian = patchFor(2);
    ASSERT_TRUE(window.applyPatch(languageEnglish, english));
    ASSERT_TRUE(window.applyPatch(languageRussian, russian));
    EXPECT_TRUE(boxes.texts().isEmpty());
    EXPECT_EQ(WindowAccess::currentLanguage(window), languageRussian);
    EXPECT_TRUE(window.isPatchApplied(russian));
    EXPECT_FALSE(window.isPatchApplied(english));
    EXPECT_EQ(readBytes(workDir + QStringLiteral("data.lpk")), source);
}

struct FailureCase
{
    const char* what;
    Languages lang;
    QByteArray patch;
    QString message; // the start of the message box's text
};

TEST_F(WindowPatching, FailuresSayWhatFailedAndReleaseTheControls)
{
    QByteArray damaged = patchFor(3);
    damaged.chop(5);
    const Bytes otherSource = testdata::makeArchive(1000, 9);
    const FailureCase cases[] = {
        {"not a patch", languageEnglish, QByteArrayLiteral("<html>"),
         QStringLiteral("Can't apply the patch: the file is not a patch file.")},
        {"restore without reverse patch", languageOriginal, QByteArray(),
         QStringLiteral("Can't restore the original game files")},
        {"cut download", languageEnglish, damaged,
         QStringLiteral("Can't apply the patch, it is damaged.")},
        {"other archive", languageRussian, qbytes(testdata::makePatch(otherSource, {})),
         QStringLiteral("Game files are different from expected, can't apply the patch.")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WindowAccess::currentLanguage(window) =
            c.lang == languageOriginal ? languageEnglish : languageOriginal;
        const Languages before = WindowAccess::currentLanguage(window);
        window.refreshLanguageButtons(true);
        const auto seen = boxes.seen().size();
        EXPECT_FALSE(window.applyPatch(c.lang, c.patch));
        ASSERT_EQ(boxes.seen().size(), seen + 1);
        EXPECT_TRUE(boxes.seen().back().text.startsWith(c.message))
            << boxes.seen().back().text.toStdString();
        EXPECT_TRUE(boxes.seen().back().title.isEmpty());
        EXPECT_EQ(WindowAccess::currentLanguage(window), before);
        EXPECT_EQ(ui.progressBar->format(), QStringLiteral("Applying patch...fail!"));
        EXPECT_EQ(ui.progressBar->value(), 0);
        EXPECT_EQ(readBytes(archive), source);
        // Out of the busy state: every offered language can be clicked again.
        EXPECT_TRUE(ui.pushButtonEnglish->isEnabled());
        EXPECT_TRUE(ui.pushButtonRussian->isEnabled());
    }
    EXPECT_FALSE(QFile::exists(workDir + QStringLiteral("patch_KR.data")));
}

#ifdef _WIN32
// The launcher holding the archive: with write sharing the translation is written into the
// archive and undone again; for reading only, the player reads who holds it and that nothing
// changed.
TEST_F(WindowPatching, ArchiveHeldByTheLauncher)
{
    const QByteArray patch = patchFor(5);
    const std::wstring name = fsPath(archive).wstring();
    HANDLE held = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(window.applyPatch(languageEnglish, patch));
    EXPECT_TRUE(boxes.texts().isEmpty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(window.isPatchApplied(patch));
    EXPECT_EQ(readBytes(workDir + QStringLiteral("data.lpk")), source);
    QFile reverseFile(workDir + QStringLiteral("patch_KR.data"));
    ASSERT_TRUE(reverseFile.open(QIODevice::ReadOnly));
    EXPECT_TRUE(window.applyPatch(languageOriginal, reverseFile.readAll()));
    EXPECT_EQ(readBytes(archive), source);
    CloseHandle(held);

    held = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(window.applyPatch(languageEnglish, patch));
    CloseHandle(held);
    ASSERT_EQ(boxes.texts().size(), 1);
    EXPECT_TRUE(boxes.texts()[0].startsWith(QStringLiteral("Another program is using the game "
                                                           "files, so they were not changed.")))
        << boxes.texts()[0].toStdString();
    EXPECT_EQ(readBytes(archive), source);
    EXPECT_EQ(QDir(QFileInfo(archive).absolutePath()).entryList(QDir::Files),
              QStringList{QStringLiteral("data.lpk")});
}
#endif

TEST_F(WindowPatching, StateDetectionOnlyReads)
{
    EXPECT_FALSE(window.isPatchApplied(QByteArray()));
    EXPECT_FALSE(window.isPatchApplied(QByteArrayLiteral("PTCH")));
    const QByteArray patch = patchFor(4);
    EXPECT_FALSE(window.isPatchApplied(patch));
    QFile::remove(archive);
    EXPECT_FALSE(window.isPatchApplied(patch));
    EXPECT_TRUE(boxes.texts().isEmpty());
    EXPECT_EQ(WindowAccess::currentLanguage(window), languageOriginal);
}

TEST_F(WindowPatching, CopyFileReplacesOnlyWithACompleteCopy)
{
    QTemporaryDir dir;
    const QString from = dir.filePath(QStringLiteral("from"));
    const QString to = dir.filePath(QStringLiteral("to"));
    testdata::writeFile(fsPath(from), source);
    testdata::writeFile(fsPath(to), {'o', 'l', 'd'});
    ASSERT_TRUE(copyFile(from, to));
    EXPECT_EQ(readBytes(to), source);
    EXPECT_FALSE(copyFile(dir.filePath(QStringLiteral("missing")), to));
    EXPECT_EQ(readBytes(to), source);
    EXPECT_FALSE(copyFile(from, dir.filePath(QStringLiteral("no/such/folder/to"))));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

} // namespace
