// Shared set-up of the window tests of this folder: a running "ORBEX.exe" for the start-up gate,
// a test HTTP server, a message box driver, a temporary game folder with a seeded archive and an
// empty work directory.
#pragma once

#include <memory>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "app/Constants.h"
#include "app/QuenDaraTranslation.h"
#include "distribution/FileDownloader.h"
#include "tests/support/HttpServer.h"
#include "tests/support/MessageBoxDriver.h"
#include "tests/support/QtPath.h"
#include "tests/support/TestData.h"
#include "tests/support/TestLauncher.h"
#include "tests/support/WindowAccess.h"

inline QByteArray qbytes(const testdata::Bytes& b)
{
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<int>(b.size()));
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

class DistributionWindowTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // A closing window must not end the event loops the tests wait in.
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void SetUp() override
    {
        ASSERT_TRUE(testLauncherRunning());
        ASSERT_TRUE(server.listen());
        ASSERT_TRUE(game.isValid());
        // A lost connection is taken up again after pauses short enough for a test's waits.
        FileDownloader::setDefaultRetryPauses({50, 100});
        // Every test starts from an empty work directory.
        QDir(workDir).removeRecursively();
        QDir().mkpath(workDir);
        QDir(game.path()).mkpath(QStringLiteral("bin/x64"));
        QDir(game.path()).mkpath(QStringLiteral("ZNGame"));
        archive = game.path() + QStringLiteral("/ZNGame/data.lpk");
        testdata::writeFile(fsPath(archive), source);
        gamePath =
            QDir::toNativeSeparators(game.path()) + QStringLiteral("\\bin\\x64\\QuenDara.exe");
    }

    void TearDown() override
    {
        if (window) {
            window->hide();
            window.reset();
        }
        FileDownloader::setDefaultStallTimeout(30000);
        FileDownloader::setDefaultRetryPauses({});
        FileDownloader::setDefaultMinimumSpeed(0, 0);
        FileDownloader::setDefaultProgressBudget(0, 0);
    }

    // Creates the window; with `keepManifestDownload` false its manifest request is dropped at
    // once, so the test sets the manifest itself.
    QuenDaraTranslation& makeWindow(bool keepManifestDownload)
    {
        window = std::make_unique<QuenDaraTranslation>();
        if (!keepManifestDownload) {
            auto*& downloader = WindowAccess::manifestDownloader(*window);
            QObject::disconnect(downloader, nullptr, window.get(), nullptr);
            delete downloader;
            downloader = nullptr;
            WindowAccess::gamePath(*window) = gamePath;
        }
        return *window;
    }

    Ui::QuenDaraTranslationClass& ui() { return WindowAccess::ui(*window); }

    // Waits until a selection has finished one way or the other: a language applied, or the
    // controls idle again with no download running.
    bool waitUntilIdle(int ms = 15000)
    {
        return QTest::qWaitFor(
            [this] {
                return WindowAccess::patchDownloader(*window) == nullptr &&
                       ui().pushButtonEnglish->isEnabled();
            },
            ms);
    }

    QByteArray patchFor(std::uint64_t seed) const
    {
        return qbytes(
            testdata::makePatch(source, testdata::translationEdits(source.size(), 40, seed)));
    }

    QByteArray patchedArchive(std::uint64_t seed) const
    {
        return qbytes(
            testdata::applyEdits(source, testdata::translationEdits(source.size(), 40, seed)));
    }

    static quint64 hashOf(const QByteArray& bytes)
    {
        return testdata::hashOf(testdata::Bytes(bytes.begin(), bytes.end()));
    }

    HttpServer server;
    MessageBoxDriver boxes;
    QTemporaryDir game;
    QString archive;
    QString gamePath;
    const testdata::Bytes source = testdata::makeArchive(200000, 7);
    std::unique_ptr<QuenDaraTranslation> window;
};
