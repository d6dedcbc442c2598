// FileDownloader against a real HTTP server on 127.0.0.1: redirects, errors, broken and stalled
// transfers, and the one downloaded() every download ends with.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTest>

#include "distribution/FileDownloader.h"
#include "tests/support/HttpServer.h"

namespace {

struct Outcome
{
    int downloadedCount = 0;
    bool succeeded = false;
    QString error;
    QByteArray data;
    QByteArray dataAgain;
    std::vector<std::pair<qint64, qint64>> progress;
    qint64 elapsedMs = 0;
};

// Runs one download to its end (at most `waitMs`), then lingers briefly so that a second
// downloaded() would be seen.
Outcome fetch(const QUrl& url, DownloadLimits limits = {}, int waitMs = 10000)
{
    Outcome out;
    QElapsedTimer clock;
    clock.start();
    auto* downloader = new FileDownloader(
        url, [&out](qint64 received, qint64 total) { out.progress.emplace_back(received, total); },
        nullptr, limits);
    QObject::connect(downloader, &FileDownloader::downloaded, [&out, downloader, &clock] {
        if (++out.downloadedCount == 1)
            out.elapsedMs = clock.elapsed();
        out.succeeded = downloader->succeeded();
        out.error = downloader->errorString();
        out.data = downloader->downloadedData();
        out.dataAgain = downloader->downloadedData();
    });
    // Callers check downloadedCount themselves: some expect no completion at all.
    (void)QTest::qWaitFor([&out] { return out.downloadedCount > 0; }, waitMs);
    QTest::qWait(150);
    delete downloader;
    return out;
}

class FileDownloaderTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(server.listen()); }
    HttpServer server;
};

TEST_F(FileDownloaderTest, PlainDownload)
{
    server.setResponse("/file", HttpResponse::ok("hello world"));
    const Outcome out = fetch(server.url("/file"));
    EXPECT_EQ(out.downloadedCount, 1);
    EXPECT_TRUE(out.succeeded) << out.error.toStdString();
    EXPECT_TRUE(out.error.isEmpty());
    EXPECT_EQ(out.data, QByteArray("hello world"));
    EXPECT_EQ(out.dataAgain, out.data);
    ASSERT_FALSE(out.progress.empty());
    EXPECT_EQ(out.progress.back(), std::make_pair(qint64(11), qint64(11)));
    EXPECT_EQ(server.requestCount(), 1);
}

struct RedirectCase
{
    const char* name;
    std::vector<std::pair<QByteArray, QByteArray>> hops; // path -> Location
    QByteArray start;
    QByteArray finalPath;
    int requests;
};

TEST_F(FileDownloaderTest, RedirectsAreFollowedToTheFinalBody)
{
    const QByteArray base = server.url("").toString().toLatin1();
    const RedirectCase cases[] = {
        {"absolute", {{"/a", base + "/final"}}, "/a", "/final", 2},
        {"relative to the folder", {{"/dir/b", "final"}}, "/dir/b", "/dir/final", 2},
        {"relative to the host", {{"/dir/c", "/final"}}, "/dir/c", "/final", 2},
        {"two hops", {{"/h1", "/h2"}, {"/h2", base + "/final"}}, "/h1", "/final", 3},
    };
    const QByteArray body(5000, 'x');
    for (const auto& c : cases) {
        HttpServer fresh;
        ASSERT_TRUE(fresh.listen());
        const QByteArray freshBase = fresh.url("").toString().toLatin1();
        for (const auto& [path, location] : c.hops)
            fresh.setResponse(
                path, HttpResponse::redirect(QByteArray(location).replace(base, freshBase)));
        fresh.setResponse(c.finalPath, HttpResponse::ok(body));

        const Outcome out = fetch(fresh.url(c.start));
        EXPECT_EQ(out.downloadedCount, 1) << c.name;
        EXPECT_TRUE(out.succeeded) << c.name << ": " << out.error.toStdString();
        EXPECT_EQ(out.data, body) << c.name;
        EXPECT_EQ(fresh.requestCount(), c.requests) << c.name;
        EXPECT_EQ(fresh.requestCount(c.finalPath), 1) << c.name;
        ASSERT_FALSE(out.progress.empty()) << c.name;
        EXPECT_EQ(out.progress.back().first, body.size()) << c.name;
    }
}

TEST_F(FileDownloaderTest, NotFoundKeepsTheHtmlButFails)
{
    const QByteArray html = "<html><body><h1>No such file</h1></body></html>";
    server.setResponse("/missing", HttpResponse::error(404, html));
    const Outcome out = fetch(server.url("/missing"));
    EXPECT_EQ(out.downloadedCount, 1);
    EXPECT_FALSE(out.succeeded);
    EXPECT_EQ(out.data, html);
    EXPECT_TRUE(out.error.contains(QStringLiteral("404"))) << out.error.toStdString();
    EXPECT_TRUE(out.error.contains(server.url("/missing").toString())) << out.error.toStdString();
}

TEST_F(FileDownloaderTest, ServerErrorFails)
{
    server.setResponse("/boom", HttpResponse::error(500, "oops"));
    const Outcome out = fetch(server.url("/boom"));
    EXPECT_EQ(out.downloadedCount, 1);
    EXPECT_FALSE(out.succeeded);
    EXPECT_TRUE(out.error.contains(QStringLiteral("500"))) << out.error.toStdString();
}

TEST_F(FileDownloaderTest, RefusedConnectionFailsWithAnEmptyBuffer)
{
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress(QHostAddress::LocalHost), 0));
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/patch.json").arg(closed.serverPort()));
    closed.close();
    const Outcome out = fetch(url);
    EXPECT_EQ(out.downloadedCount, 1);
    EXPECT_FALSE(out.succeeded);
    EXPECT_TRUE(out.data.isEmpty());
    EXPECT_TRUE(out.error.contains(url.toString())) << out.error.toStdString();
}

TEST_F(FileDownloaderTest, EmptyBodyIsASuccessfulEmptyDownload)
{
    server.setResponse("/empty", HttpResponse::ok(QByteArray()));
    const Outcome out = fetch(server.url("/empty"));
    EXPECT_EQ(out.downloadedCount, 1);
    EXPECT_TRUE(out.succeeded) << out.error.toStdString();
    EXPECT_TRUE(out.data.isEmpty());
}

TEST_F(FileDownloaderTest, SlowBodyReportsProgressAlongTheWay)
{
    HttpResponse slow = HttpResponse::ok(QByteArray(64 * 1024, 's'));
    slow.chunkSize = 8 * 1024;
    slow.chunkDelayMs = 150; // Qt reports progress at most about every 100 ms
    server.setResponse("/slow", slow);
    const Outcome out = fetch(server.url("/slow"));
    EXPECT_EQ(out.downloadedCount, 1);
    EXPECT_TRUE(out.succeeded) << out.error.toStdString();
    EXPECT_EQ(out.data.size(), 64 * 1024);
    ASSERT_GE(out.progress.size(), 4u);
    for (std::size_t i = 1; i < out.progress.size(); ++i)
        EXPECT_GE(out.progress[i].first, out.progress[i - 1].first);
    EXPECT_LT(out.progress.front().first, 64 * 1024);
    EXPECT_EQ(out.progress.back(), std::make_pair(qint64(64 * 1024), qint64(64 * 1024)));
}

TEST_F(FileDownloaderTest, BodyCutOffMidwayFails)
{
    HttpResponse cut = HttpResponse::ok(QByteArray(20000, 'c'));
    cut.delivery = HttpResponse::Delivery::CloseMidBody;
    server.setResponse("/cut", cut);
    const Outcome out = fetch(server.url("/cut"));
    EXPECT_EQ(out.downloadedCount, 1);
    EXPECT_FALSE(out.succeeded);
    EXPECT_TRUE(out.error.contains(server.url("/cut").toString())) << out.error.toStdString();
}

TEST_F(FileDownloaderTest, StalledTransfersAreAbortedAfterTheTimeout)
{
    struct Case
    {
        const char* name;
        HttpResponse::Delivery delivery;
    };
    const Case cases[] = {{"no answer at all", HttpResponse::Delivery::StallBeforeHeaders},
                          {"half a body", HttpResponse::Delivery::StallMidBody}};
    for (const auto& c : cases) {
        HttpResponse stall = HttpResponse::ok(QByteArray(20000, 'z'));
        stall.delivery = c.delivery;
        server.setResponse("/stall", stall);
        DownloadLimits limits;
        limits.stallTimeoutMs = 300;
        const Outcome out = fetch(server.url("/stall"), limits);
        EXPECT_EQ(out.downloadedCount, 1) << c.name;
        EXPECT_FALSE(out.succeeded) << c.name;
        EXPECT_TRUE(out.error.contains(QStringLiteral("No data arrived"))) << c.name;
        EXPECT_TRUE(out.error.contains(server.url("/stall").toString())) << c.name;
        EXPECT_GE(out.elapsedMs, 250) << c.name;
        EXPECT_LT(out.elapsedMs, 5000) << c.name;
    }
}

TEST_F(FileDownloaderTest, DefaultStallTimeoutAppliesToNewDownloads)
{
    HttpResponse stall;
    stall.delivery = HttpResponse::Delivery::StallBeforeHeaders;
    server.setResponse("/stall", stall);
    FileDownloader::setDefaultStallTimeout(200);
    const Outcome out = fetch(server.url("/stall"));
    FileDownloader::setDefaultStallTimeout(30000);
    EXPECT_EQ(FileDownloader::defaultStallTimeout(), 30000);
    EXPECT_EQ(out.downloadedCount, 1);
    EXPECT_FALSE(out.succeeded);
    EXPECT_TRUE(out.error.contains(QStringLiteral("0.2 seconds"))) << out.error.toStdString();
}

TEST_F(FileDownloaderTest, RedirectLoopIsCutOffAfterTheHopLimit)
{
    server.setResponse("/loop", HttpResponse::redirect("/loop"));
    const Outcome out = fetch(server.url("/loop"));
    EXPECT_EQ(out.downloadedCount, 1);
    EXPECT_FALSE(out.succeeded);
    EXPECT_TRUE(out.error.contains(QStringLiteral("more than 10"))) << out.error.toStdString();
    EXPECT_EQ(server.requestCount("/loop"), 11);

    DownloadLimits two;
    two.maxRedirects = 2;
    HttpServer other;
    ASSERT_TRUE(other.listen());
    other.setResponse("/loop", HttpResponse::redirect("/loop"));
    const Outcome bounded = fetch(other.url("/loop"), two);
    EXPECT_FALSE(bounded.succeeded);
    EXPECT_EQ(other.requestCount("/loop"), 3);
}

TEST_F(FileDownloaderTest, OnlyHttpAddressesAreFetched)
{
    server.setResponse("/to-file", HttpResponse::redirect("file:///etc/hostname"));
    const Outcome redirected = fetch(server.url("/to-file"));
    EXPECT_EQ(redirected.downloadedCount, 1);
    EXPECT_FALSE(redirected.succeeded);
    EXPECT_TRUE(redirected.data.isEmpty());
    EXPECT_EQ(server.requestCount(), 1);

    for (const char* address : {"file:///etc/hostname", "qrc:/QuenDaraTranslation/icon.png",
                                "ftp://127.0.0.1/patch.data", "not an address"}) {
        const Outcome out = fetch(QUrl(QString::fromLatin1(address)));
        EXPECT_EQ(out.downloadedCount, 1) << address;
        EXPECT_FALSE(out.succeeded) << address;
        EXPECT_TRUE(out.data.isEmpty()) << address;
        EXPECT_FALSE(out.error.isEmpty()) << address;
    }
}

TEST_F(FileDownloaderTest, BodiesOverTheLimitAreRefused)
{
    HttpResponse announced = HttpResponse::ok(QByteArray(100, 'a'));
    announced.contentLength = 1 << 30; // promises far more than it sends
    announced.delivery = HttpResponse::Delivery::StallMidBody;
    server.setResponse("/announced", announced);
    HttpResponse unannounced = HttpResponse::ok(QByteArray(5000, 'u'));
    unannounced.contentLength = -1;
    server.setResponse("/unannounced", unannounced);

    DownloadLimits limits;
    limits.maxBytes = 1000;
    for (const char* path : {"/announced", "/unannounced"}) {
        const Outcome out = fetch(server.url(path), limits);
        EXPECT_EQ(out.downloadedCount, 1) << path;
        EXPECT_FALSE(out.succeeded) << path;
        EXPECT_TRUE(out.error.contains(QStringLiteral("larger than the 1000 bytes")))
            << path << ": " << out.error.toStdString();
        EXPECT_LE(out.data.size(), 1000) << path;
        EXPECT_LT(out.elapsedMs, 5000) << path;
    }

    limits.maxBytes = 5000;
    const Outcome atTheLimit = fetch(server.url("/unannounced"), limits);
    EXPECT_TRUE(atTheLimit.succeeded) << atTheLimit.error.toStdString();
    EXPECT_EQ(atTheLimit.data.size(), 5000);
}

TEST_F(FileDownloaderTest, AbortByTheOwnerEndsWithItsReasonOnce)
{
    HttpResponse stall = HttpResponse::ok(QByteArray(20000, 'z'));
    stall.delivery = HttpResponse::Delivery::StallMidBody;
    stall.chunkSize = 1000;
    stall.chunkDelayMs = 150;
    server.setResponse("/stall", stall);
    int count = 0;
    QString error;
    FileDownloader* downloader = nullptr;
    downloader = new FileDownloader(
        server.url("/stall"),
        [&downloader](qint64 received, qint64) {
            if (received > 0)
                downloader->abort(QStringLiteral("enough"));
        },
        nullptr);
    QObject::connect(downloader, &FileDownloader::downloaded, [&] {
        ++count;
        error = downloader->errorString();
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return count > 0; }, 10000));
    downloader->abort(QStringLiteral("again"));
    QTest::qWait(100);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(error, QStringLiteral("enough"));
    EXPECT_FALSE(downloader->succeeded());
    delete downloader;
}

TEST_F(FileDownloaderTest, CancelledDownloadSaysNothingMore)
{
    HttpResponse slow = HttpResponse::ok(QByteArray(8000, 's'));
    slow.chunkSize = 1000;
    slow.chunkDelayMs = 30;
    server.setResponse("/slow", slow);
    int count = 0;
    int reports = 0;
    auto* downloader = new FileDownloader(
        server.url("/slow"), [&reports](qint64, qint64) { ++reports; }, nullptr);
    QObject::connect(downloader, &FileDownloader::downloaded, [&count] { ++count; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return reports > 0; }, 10000));
    downloader->cancel();
    const int reportsAtCancel = reports;
    QTest::qWait(500);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(reports, reportsAtCancel);
    delete downloader;
}

} // namespace
