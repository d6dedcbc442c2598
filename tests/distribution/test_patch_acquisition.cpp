// Choosing between the cached and a downloaded patch: cache hits without a request, downloads
// stored in the cache, failed downloads that leave the cache alone, overlapping requests.
#include "tests/distribution/WindowFixture.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>

#include "distribution/PatchSource.h"

namespace {

const QString cacheEN = QStringLiteral("patch_EN.data");

class PatchAcquisition : public DistributionWindowTest
{
protected:
    void SetUp() override
    {
        DistributionWindowTest::SetUp();
        if (HasFatalFailure())
            return;
        makeWindow(false);
    }

    void setManifest(const QByteArray& path, quint64 hash)
    {
        WindowAccess::manifest(*window) = {
            {"version", 4},
            {"filename_EN", server.url(path).toString().toStdString()},
            {"xxhash_EN", hash},
            {"filename_RU", server.url("/ru").toString().toStdString()}};
        window->refreshLanguageButtons(false);
    }

    quint64 slot(Languages lang) { return WindowAccess::patchHashes(*window)[std::size_t(lang)]; }
};

TEST_F(PatchAcquisition, MissDownloadsStoresAndApplies)
{
    const QByteArray patch = patchFor(1);
    server.setResponse("/en", HttpResponse::ok(patch));
    setManifest("/en", hashOf(patch));

    ui().pushButtonEnglish->click();
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_TRUE(boxes.seen().empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(server.requestCount("/en"), 1);
    EXPECT_EQ(readAll(workDir + cacheEN), patch);
    EXPECT_EQ(slot(languageEnglish), hashOf(patch));
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageEnglish);
    EXPECT_EQ(readAll(archive), patchedArchive(1));

    // Back to the original, then the same language again: now from the cache.
    ui().pushButtonEnglish->click();
    ASSERT_EQ(WindowAccess::currentLanguage(*window), languageOriginal);
    ui().pushButtonEnglish->click();
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(server.requestCount("/en"), 1);
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageEnglish);
    EXPECT_EQ(readAll(archive), patchedArchive(1));
}

TEST_F(PatchAcquisition, CacheHitMakesNoRequest)
{
    const QByteArray patch = patchFor(2);
    writeAll(workDir + cacheEN, patch);
    WindowAccess::patchHashes(*window)[0] = hashOf(patch);
    server.setResponse("/en", HttpResponse::ok(patchFor(99)));
    setManifest("/en", hashOf(patch));

    window->selectLanguage(languageEnglish);
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageEnglish);
    EXPECT_EQ(readAll(archive), patchedArchive(2));
    EXPECT_TRUE(boxes.seen().empty());
}

TEST_F(PatchAcquisition, DownloadThatIsNotTheAnnouncedFileIsRefused)
{
    // The server's file is not the one the manifest describes: a failed download that says so,
    // nothing applied, and the copy cached before stays as it was.
    const QByteArray cachedBefore = patchFor(4);
    writeAll(workDir + cacheEN, cachedBefore);
    const QByteArray patch = patchFor(3);
    server.setResponse("/en", HttpResponse::ok(patch));
    setManifest("/en", hashOf(patch) ^ 1);
    const QByteArray archiveBefore = readAll(archive);

    window->selectLanguage(languageEnglish);
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageOriginal);
    EXPECT_EQ(readAll(archive), archiveBefore);
    EXPECT_EQ(readAll(workDir + cacheEN), cachedBefore);
    EXPECT_EQ(slot(languageEnglish), 0u);
    // Nothing of the refused file stays to be continued.
    EXPECT_EQ(QDir(workDir).entryList(QDir::Files), QStringList{cacheEN});
    ASSERT_EQ(boxes.seen().size(), 1u);
    EXPECT_TRUE(boxes.seen()[0].text.contains(QStringLiteral("not the one the server announced")))
        << boxes.seen()[0].text.toStdString();
    EXPECT_TRUE(ui().pushButtonEnglish->isEnabled());

    // Once the server has the announced file, the next click takes it.
    server.setResponse("/en", HttpResponse::ok(patch));
    setManifest("/en", hashOf(patch));
    window->selectLanguage(languageEnglish);
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(server.requestCount("/en"), 2);
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageEnglish);
    EXPECT_EQ(readAll(workDir + cacheEN), patch);
}

// Closing the window with "Restore original on close" while a patch downloads: the download is
// cancelled before the restore, so it can neither land inside the restore nor be applied after
// the window has closed.
TEST_F(PatchAcquisition, ClosingDuringADownloadRestoresAndNothingArrivesAfter)
{
    const QByteArray russian = patchFor(7);
    ASSERT_TRUE(window->applyPatch(languageRussian, russian));
    const QByteArray english = patchFor(8);
    HttpResponse slow = HttpResponse::ok(english);
    slow.delayMs = 400;
    server.setResponse("/en", slow);
    setManifest("/en", hashOf(english));
    window->show();
    ui().restoreCheckbox->setChecked(true);

    window->selectLanguage(languageEnglish);
    ASSERT_NE(WindowAccess::patchDownloader(*window), nullptr);
    EXPECT_TRUE(window->close());
    EXPECT_EQ(readAll(archive), qbytes(source));
    QTest::qWait(1200);
    EXPECT_EQ(readAll(archive), qbytes(source));
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageOriginal);
    EXPECT_TRUE(boxes.seen().empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_FALSE(QFile::exists(workDir + cacheEN));
}

// The manifest arriving while the engine rewrites the archive (its progress repaints let network
// completions through): its handling, which may roll a translation back, waits until the engine
// has finished, and then runs.
TEST_F(PatchAcquisition, ManifestArrivingDuringTheEngineIsHandledAfterIt)
{
    const testdata::Bytes large = testdata::makeArchive(96u << 20, 11);
    testdata::writeFile(fsPath(archive), large);
    const QByteArray patch =
        qbytes(testdata::makePatch(large, testdata::translationEdits(large.size(), 3000, 11)));
    writeAll(workDir + cacheEN, patch);
    const nlohmann::json manifest = {{"version", (versionMajor << 16) + versionMinor},
                                     {"filename_EN", server.url("/en").toString().toStdString()},
                                     {"xxhash_EN", hashOf(patch)}};
    HttpResponse late = HttpResponse::ok(QByteArray::fromStdString(manifest.dump()));
    late.delayMs = 30;
    server.setResponse("/patch.json", late);
    qputenv("QUEN_DARA_MANIFEST_URL", server.url("/patch.json").toEncoded());
    makeWindow(true);
    WindowAccess::gamePath(*window) = gamePath;
    int landedDuringEngine = 0, handledDuringEngine = 0;
    // Connected after the window's own handler, so it sees what that handler did.
    QObject::connect(WindowAccess::manifestDownloader(*window), &FileDownloader::downloaded,
                     window.get(), [&] {
                         if (!WindowAccess::engineRunning(*window))
                             return;
                         ++landedDuringEngine;
                         if (WindowAccess::manifestDownloader(*window) == nullptr)
                             ++handledDuringEngine;
                     });
    // The request goes out (the server holds its answer back a little), then the engine starts.
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requestCount("/patch.json") > 0; }, 5000));
    ASSERT_TRUE(window->applyPatch(languageEnglish, patch));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return WindowAccess::manifestDownloader(*window) == nullptr; }, 15000));
    QTest::qWait(50);
    if (landedDuringEngine == 0)
        GTEST_SKIP() << "the manifest did not arrive while the engine worked on this machine";
    EXPECT_EQ(handledDuringEngine, 0);
    // Handled afterwards: the applied translation is the published one and stays.
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageEnglish);
    EXPECT_EQ(slot(languageEnglish), hashOf(patch));
    EXPECT_TRUE(boxes.seen().empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
}

TEST_F(PatchAcquisition, UnusableCacheFileFallsBackToADownload)
{
    const QByteArray patch = patchFor(5);
    server.setResponse("/en", HttpResponse::ok(patch));
    struct Case
    {
        const char* name;
        bool exists;
        QByteArray content;
    };
    const Case cases[] = {{"empty", true, QByteArray()},
                          {"missing", false, QByteArray()},
                          {"changed since it was hashed", true, patchFor(6)}};
    int requests = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (WindowAccess::currentLanguage(*window) != languageOriginal)
            window->selectLanguage(languageOriginal);
        QFile::remove(workDir + cacheEN);
        if (c.exists)
            writeAll(workDir + cacheEN, c.content);
        WindowAccess::patchHashes(*window)[0] = hashOf(patch);
        setManifest("/en", hashOf(patch));

        window->selectLanguage(languageEnglish);
        ASSERT_TRUE(waitUntilIdle());
        EXPECT_EQ(server.requestCount("/en"), ++requests);
        EXPECT_EQ(readAll(workDir + cacheEN), patch);
        EXPECT_EQ(WindowAccess::currentLanguage(*window), languageEnglish);
    }
    EXPECT_TRUE(boxes.seen().empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
}

TEST_F(PatchAcquisition, NoPublishedHashIsNeverACacheHit)
{
    const QByteArray patch = patchFor(7);
    writeAll(workDir + cacheEN, patchFor(8)); // stale copy from an earlier run
    server.setResponse("/en", HttpResponse::ok(patch));
    WindowAccess::manifest(*window) = {{"filename_EN", server.url("/en").toString().toStdString()}};
    window->refreshLanguageButtons(false);
    window->selectLanguage(languageEnglish);
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(server.requestCount("/en"), 1);
    EXPECT_EQ(readAll(archive), patchedArchive(7));
}

// Every failed download leaves the cached copy and says, one sentence per line, what went wrong
// and what to do: only a broken or silent connection asks the player to check theirs; a server
// that refused says what it did.
TEST_F(PatchAcquisition, FailedDownloadKeepsTheCachedCopy)
{
    const QByteArray old = patchFor(10);
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress(QHostAddress::LocalHost), 0));
    const quint16 closedPort = closed.serverPort();
    closed.close();

    HttpResponse cut = HttpResponse::ok(patchFor(11));
    cut.delivery = HttpResponse::Delivery::CloseMidBody;
    HttpResponse stalled = HttpResponse::ok(patchFor(11));
    stalled.delivery = HttpResponse::Delivery::StallMidBody;
    HttpResponse huge = HttpResponse::ok(QByteArray("PTCH") + QByteArray(1000, 'h'));
    huge.contentLength = kMaxPatchBytes + 1;
    huge.delivery = HttpResponse::Delivery::StallMidBody;
    server.setResponse("/404", HttpResponse::error(404, "<html><body>gone</body></html>"));
    server.setResponse("/403", HttpResponse::error(403, "<html><body>no</body></html>"));
    server.setResponse("/500", HttpResponse::error(500, "<html><body>oops</body></html>"));
    server.setResponse("/cut", cut);
    server.setResponse("/stalled", stalled);
    server.setResponse("/loop", HttpResponse::redirect("/loop"));
    server.setResponse("/to-ftp", HttpResponse::redirect("ftp://127.0.0.1/patch_EN.data"));
    server.setResponse("/to-file", HttpResponse::redirect("file:///etc/hostname"));
    server.setResponse("/empty", HttpResponse::ok(QByteArray()));
    server.setResponse("/huge", huge);
    FileDownloader::setDefaultStallTimeout(300);

    const QString connection = QStringLiteral("Please check your connection and try again.");
    const QString refusal =
        QStringLiteral("Please try again later; if it goes on, tell the translators.");
    const QString noProgress = QStringLiteral("Please try again later, or check your connection.");
    struct Case
    {
        QByteArray path;
        QString detail; // in the lines between the first and the last; %1: the address
        QString advice; // the last line
    };
    const Case cases[] = {
        {"/404",
         QStringLiteral("The server answered 404 (Not Found) for %1: the translation is not "
                        "there."),
         refusal},
        {"/403",
         QStringLiteral("The server answered 403 (Forbidden) for %1: it does not let the "
                        "translation be downloaded."),
         refusal},
        {"/500",
         QStringLiteral("The server answered 500 (Internal Server Error) for %1: it has a problem "
                        "of its own."),
         refusal},
        {"/loop",
         QStringLiteral("The server at %1 sent the download on to other addresses more "
                        "than 10 times."),
         refusal},
        {"/to-ftp",
         QStringLiteral("The server at %1 sent the download on to "
                        "\"ftp://127.0.0.1/patch_EN.data\", which is not an http or https "
                        "address."),
         refusal},
        {"/to-file",
         QStringLiteral("The server at %1 sent the download on to \"file:///etc/hostname\", "
                        "which is not an http or https address."),
         refusal},
        {"/empty", QStringLiteral("The server sent an empty file for %1."), refusal},
        {"/huge", QStringLiteral("The file at %1 is larger than the 1024 MB this program accepts."),
         refusal},
        {"/cut", QStringLiteral("The transfer from %1 failed: "), connection},
        {"/stalled",
         QStringLiteral("The server stopped sending the patch from %1, or sends it too slowly."),
         noProgress},
        {"refused", QStringLiteral("The transfer from %1 failed: "), connection},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.constData());
        writeAll(workDir + cacheEN, old);
        WindowAccess::patchHashes(*window)[0] = hashOf(old);
        QUrl url = server.url(c.path);
        if (c.path == "refused")
            url = QUrl(QStringLiteral("http://127.0.0.1:%1/en").arg(closedPort));
        WindowAccess::manifest(*window) = {{"filename_EN", url.toString().toStdString()},
                                           {"xxhash_EN", hashOf(old) + 1}};
        window->refreshLanguageButtons(false);
        const std::size_t before = boxes.seen().size();

        ui().pushButtonEnglish->click();
        ASSERT_TRUE(waitUntilIdle());
        ASSERT_EQ(boxes.seen().size(), before + 1);
        const QString text = boxes.seen().back().text;
        const QStringList lines = text.split(QLatin1Char('\n'));
        ASSERT_GE(lines.size(), 3) << text.toStdString();
        EXPECT_EQ(lines.front(), QStringLiteral("Downloading the patch failed."))
            << text.toStdString();
        EXPECT_EQ(lines.back(), c.advice) << text.toStdString();
        EXPECT_TRUE(lines[1].startsWith(c.detail.arg(url.toString()))) << text.toStdString();
        EXPECT_EQ(text.contains(QStringLiteral("check your connection")), c.advice != refusal)
            << text.toStdString();
        EXPECT_EQ(readAll(workDir + cacheEN), old);
        EXPECT_EQ(slot(languageEnglish), hashOf(old));
        EXPECT_EQ(WindowAccess::currentLanguage(*window), languageOriginal);
        EXPECT_EQ(readAll(archive), qbytes(source));
        EXPECT_FALSE(ui().pushButtonStart->isEnabled());
        EXPECT_TRUE(ui().progressBar->text().isEmpty() ||
                    !ui().progressBar->format().contains(QStringLiteral("Downloading")));
    }
    // Nothing but the cache file itself is left in the work directory.
    EXPECT_EQ(QDir(workDir).entryList(QDir::Files), QStringList{cacheEN});
}

// A server that sends next to nothing, or nothing at all, keeps the player waiting no longer than
// the progress budget, however many attempts are left; meanwhile the bar says it tries again, and
// the message says the server stopped sending.
TEST_F(PatchAcquisition, AServerThatMakesNoRealProgressEndsWithinTheBudget)
{
    constexpr int budgetMs = 1500;
    const QByteArray patch = patchFor(12);
    HttpResponse trickle = HttpResponse::ok(patch);
    trickle.ranges = true;
    trickle.headers.emplace_back("ETag", "\"p12\"");
    trickle.chunkSize = 1;
    trickle.chunkDelayMs = 50;
    HttpResponse silent = HttpResponse::ok(patch);
    silent.delivery = HttpResponse::Delivery::StallBeforeHeaders;
    server.setResponse("/trickle", trickle);
    server.setResponse("/silent", silent);
    FileDownloader::setDefaultRetryPauses({50, 50, 50, 50, 50});
    FileDownloader::setDefaultStallTimeout(400);
    FileDownloader::setDefaultMinimumSpeed(256, 500);
    FileDownloader::setDefaultProgressBudget(1024, budgetMs);

    for (const QByteArray& path : {QByteArray("/trickle"), QByteArray("/silent")}) {
        SCOPED_TRACE(path.constData());
        setManifest(path, hashOf(patch));
        const std::size_t before = boxes.seen().size();
        QElapsedTimer clock;
        clock.start();
        ui().pushButtonEnglish->click();
        FileDownloader* downloader = WindowAccess::patchDownloader(*window);
        ASSERT_NE(downloader, nullptr);
        QStringList shown;
        QObject::connect(downloader, &FileDownloader::retrying,
                         [&] { shown << ui().progressBar->text(); });
        qint64 untilMessage = -1;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                if (untilMessage < 0 && boxes.seen().size() > before)
                    untilMessage = clock.elapsed();
                return untilMessage >= 0 && WindowAccess::patchDownloader(*window) == nullptr;
            },
            budgetMs + 10000));
        ASSERT_EQ(boxes.seen().size(), before + 1);
        EXPECT_EQ(boxes.seen().back().text,
                  QStringLiteral("Downloading the patch failed.\nThe server stopped sending the "
                                 "patch from %1, or sends it too slowly.\nPlease try again later, "
                                 "or check your connection.")
                      .arg(server.url(path).toString()));
        ASSERT_FALSE(shown.isEmpty());
        EXPECT_EQ(shown.front(), QStringLiteral("Connection lost, resuming... (attempt 2 of 6)"));
        // The budget ended it, before the attempts ran out.
        EXPECT_FALSE(
            shown.contains(QStringLiteral("Connection lost, resuming... (attempt 6 of 6)")))
            << shown.join(QLatin1Char('|')).toStdString();
        EXPECT_LT(untilMessage, budgetMs + 3000);
        EXPECT_EQ(WindowAccess::currentLanguage(*window), languageOriginal);
        EXPECT_FALSE(QFile::exists(workDir + cacheEN));
        EXPECT_TRUE(ui().pushButtonEnglish->isEnabled());
    }
}

TEST_F(PatchAcquisition, RestoreDuringADownloadDropsTheDownload)
{
    // Russian applied; English requested, then the player unchecks Russian while English is still
    // on its way. The restore wins; the late English file is neither applied nor cached.
    ASSERT_TRUE(window->applyPatch(languageRussian, patchFor(20)));
    HttpResponse slow = HttpResponse::ok(patchFor(21));
    slow.chunkSize = slow.body.size() / 8 + 1;
    slow.chunkDelayMs = 100;
    server.setResponse("/en", slow);
    setManifest("/en", hashOf(slow.body));
    ASSERT_TRUE(ui().pushButtonEnglish->isEnabled());

    ui().pushButtonEnglish->click();
    ASSERT_NE(WindowAccess::patchDownloader(*window), nullptr);
    ASSERT_TRUE(ui().pushButtonRussian->isEnabled()); // the applied language stays usable
    ASSERT_TRUE(QTest::qWaitFor([this] { return server.requestCount("/en") == 1; }, 10000));
    ui().pushButtonRussian->click();
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageOriginal);
    EXPECT_EQ(WindowAccess::patchDownloader(*window), nullptr);
    EXPECT_TRUE(ui().pushButtonEnglish->isEnabled());

    QTest::qWait(1500); // longer than the server needs for the whole file
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageOriginal);
    EXPECT_FALSE(QFile::exists(workDir + cacheEN));
    EXPECT_EQ(readAll(archive), qbytes(source));
    EXPECT_TRUE(boxes.seen().empty());

    // A new request afterwards runs normally.
    server.setResponse("/en", HttpResponse::ok(slow.body));
    ui().pushButtonEnglish->click();
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageEnglish);
    EXPECT_EQ(readAll(archive), patchedArchive(21));
}

TEST_F(PatchAcquisition, ProgressShowsPercentageAndSpeed)
{
    HttpResponse slow = HttpResponse::ok(patchFor(30));
    slow.chunkSize = slow.body.size() / 6 + 1;
    slow.chunkDelayMs = 150;
    server.setResponse("/en", slow);
    setManifest("/en", hashOf(slow.body));

    QStringList texts;
    window->selectLanguage(languageEnglish);
    EXPECT_EQ(ui().progressBar->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);
    EXPECT_TRUE(ui().progressBar->isTextVisible());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const QString text = ui().progressBar->text();
            if (texts.isEmpty() || texts.back() != text)
                texts << text;
            return WindowAccess::currentLanguage(*window) == languageEnglish;
        },
        15000));
    const QRegularExpression shown(
        QStringLiteral(R"(^Downloading the patch\.\.\.(\d+)% \(([0-9.e+-]+) Mb/sec\)$)"));
    int matches = 0;
    for (const QString& text : texts) {
        const auto m = shown.match(text);
        if (!m.hasMatch())
            continue;
        ++matches;
        EXPECT_LE(m.captured(1).toInt(), 100);
        bool ok = false;
        const double speed = m.captured(2).toDouble(&ok);
        EXPECT_TRUE(ok && speed > 0 && speed < 1e6) << text.toStdString();
    }
    EXPECT_GE(matches, 2) << texts.join(QLatin1Char('|')).toStdString();
}

// Without a length the bar goes round and shows what has arrived and how fast, never a
// percentage.
TEST_F(PatchAcquisition, ProgressWithoutALengthShowsBytesAndSpeed)
{
    struct Case
    {
        const char* name;
        bool chunked;
    };
    const Case cases[] = {{"chunked", true}, {"until the server closes", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (WindowAccess::currentLanguage(*window) != languageOriginal)
            window->selectLanguage(languageOriginal);
        // No cached copy: each case downloads.
        QFile::remove(workDir + cacheEN);
        WindowAccess::patchHashes(*window)[0] = 0;
        HttpResponse slow = HttpResponse::ok(patchFor(31));
        slow.contentLength = -1;
        slow.chunked = c.chunked;
        slow.chunkSize = slow.body.size() / 6 + 1;
        slow.chunkDelayMs = 150;
        server.setResponse("/en", slow);
        setManifest("/en", hashOf(slow.body));

        QStringList busy;
        int percentages = 0;
        window->selectLanguage(languageEnglish);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                QProgressBar* bar = ui().progressBar;
                // What the bar shows, as drawn.
                const QString format = bar->text();
                if (format.contains(QStringLiteral(" Mb (")) &&
                    (busy.isEmpty() || busy.back() != format))
                    busy << format;
                if (bar->text().startsWith(QStringLiteral("Downloading")) &&
                    bar->text().contains(QLatin1Char('%')))
                    ++percentages;
                return WindowAccess::currentLanguage(*window) == languageEnglish;
            },
            15000));
        EXPECT_EQ(percentages, 0);
        const QRegularExpression shown(QStringLiteral(
            R"(^Downloading the patch\.\.\.(\d+\.\d\d) Mb \(([0-9.e+-]+) Mb/sec\)$)"));
        int matches = 0;
        double last = 0;
        for (const QString& text : busy) {
            const auto m = shown.match(text);
            if (!m.hasMatch())
                continue;
            ++matches;
            const double mb = m.captured(1).toDouble();
            EXPECT_GE(mb, last);
            last = mb;
            bool ok = false;
            const double speed = m.captured(2).toDouble(&ok);
            EXPECT_TRUE(ok && speed >= 0 && speed < 1e6) << text.toStdString();
        }
        EXPECT_GE(matches, 2) << busy.join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(readAll(workDir + cacheEN), slow.body);
    }
}

// A patch download whose connection drops twice carries on by itself where it stopped, and the
// progress bar says so with the attempt.
TEST_F(PatchAcquisition, ADroppedDownloadResumesAndSaysSo)
{
    const QByteArray patch = patchFor(40);
    HttpResponse r = HttpResponse::ok(patch);
    r.ranges = true;
    r.headers.emplace_back("ETag", "\"p40\"");
    r.dropAt = {patch.size() * 3 / 10, patch.size() * 7 / 10};
    server.setResponse("/en", r);
    setManifest("/en", hashOf(patch));

    ui().pushButtonEnglish->click();
    FileDownloader* downloader = WindowAccess::patchDownloader(*window);
    ASSERT_NE(downloader, nullptr);
    QStringList shown;
    std::vector<int> counted;
    QObject::connect(downloader, &FileDownloader::retrying, [&] {
        shown << ui().progressBar->text();
        counted.push_back(ui().progressBar->value());
    });
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_TRUE(boxes.seen().empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(shown,
              (QStringList{QStringLiteral("Connection lost, resuming... (attempt 2 of 3)"),
                           QStringLiteral("Connection lost, resuming... (attempt 3 of 3)")}));
    // The bar goes on from the bytes already there.
    EXPECT_EQ(counted, (std::vector<int>{patch.size() * 3 / 10, patch.size() * 7 / 10}));
    EXPECT_EQ(server.statuses("/en"), (std::vector<int>{200, 206, 206}));
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageEnglish);
    EXPECT_EQ(readAll(archive), patchedArchive(40));
    EXPECT_EQ(readAll(workDir + cacheEN), patch);
    EXPECT_EQ(slot(languageEnglish), hashOf(patch));
    EXPECT_TRUE(QDir(workDir).entryList({QStringLiteral("*.partial*")}, QDir::Files).isEmpty());
}

// A download dropped for another choice keeps what arrived; the next click for that language asks
// the server only for the rest.
TEST_F(PatchAcquisition, ACancelledDownloadIsContinuedByTheNextClick)
{
    ASSERT_TRUE(window->applyPatch(languageRussian, patchFor(41)));
    const QByteArray patch = patchFor(42);
    HttpResponse slow = HttpResponse::ok(patch);
    slow.ranges = true;
    slow.headers.emplace_back("Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT");
    slow.chunkSize = patch.size() / 10 + 1;
    slow.chunkDelayMs = 100;
    server.setResponse("/en", slow);
    setManifest("/en", hashOf(patch));
    const QString partial = workDir + cacheEN + QStringLiteral(".partial");

    ui().pushButtonEnglish->click();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return QFileInfo(partial).size() >= patch.size() / 4; }, 10000));
    ui().pushButtonRussian->click(); // the restore wins; the download stops
    ASSERT_EQ(WindowAccess::currentLanguage(*window), languageOriginal);
    const qint64 kept = QFileInfo(partial).size();
    ASSERT_GT(kept, 0);
    ASSERT_LT(kept, patch.size());
    EXPECT_FALSE(QFile::exists(workDir + cacheEN));

    slow.chunkSize = 0;
    server.setResponse("/en", slow);
    ui().pushButtonEnglish->click();
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(server.requestHeader("/en", "Range"), "bytes=" + QByteArray::number(kept) + '-');
    EXPECT_EQ(server.statuses("/en"), (std::vector<int>{200, 206}));
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageEnglish);
    EXPECT_EQ(readAll(archive), patchedArchive(42));
    EXPECT_EQ(readAll(workDir + cacheEN), patch);
    EXPECT_FALSE(QFile::exists(partial));
    EXPECT_TRUE(boxes.seen().empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
}

// A work directory that refuses the partial file: the download fails at once with a message that
// names the file and says what to do, and the cached copy stays as it was.
TEST_F(PatchAcquisition, AWorkDirectoryThatRefusesThePartialFileFailsClearly)
{
    const QByteArray old = patchFor(43);
    writeAll(workDir + cacheEN, old);
    const QString partial = workDir + cacheEN + QStringLiteral(".partial");
    ASSERT_TRUE(QDir().mkpath(partial));
    const QByteArray patch = patchFor(44);
    server.setResponse("/en", HttpResponse::ok(patch));
    setManifest("/en", hashOf(patch));

    ui().pushButtonEnglish->click();
    ASSERT_TRUE(waitUntilIdle());
    ASSERT_EQ(boxes.seen().size(), 1u);
    const QString text = boxes.seen()[0].text;
    EXPECT_TRUE(text.startsWith(QStringLiteral("Downloading the patch failed.\n")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(partial)) << text.toStdString();
    // What is in the way, and what to do about it: no disk space would help.
    EXPECT_TRUE(text.contains(QStringLiteral("a folder of that name is in the way")))
        << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral("\nMove it away or delete it, then try again.")))
        << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("disk space"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("connection"))) << text.toStdString();
    EXPECT_EQ(server.requestCount("/en"), 1);
    EXPECT_EQ(readAll(workDir + cacheEN), old);
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageOriginal);
    EXPECT_EQ(readAll(archive), qbytes(source));
    EXPECT_TRUE(QFileInfo(partial).isDir());
    EXPECT_EQ(QDir(workDir).entryList(QDir::Files), QStringList{cacheEN});
}

} // namespace
