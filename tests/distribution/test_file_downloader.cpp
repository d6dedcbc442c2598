// FileDownloader against a real HTTP server on 127.0.0.1: redirects, errors, broken and stalled
// transfers, and the one downloaded() every download ends with.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTest>

#include "distribution/FileDownloader.h"
#include "tests/support/GzipBomb.h"
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
    int finishedCount = 0;
    bool finishedFirst = false; // finished(result) came before downloaded()
    DownloadResult result;
};

// Runs one download to its end (at most `waitMs`), then lingers briefly so that a second
// downloaded() would be seen.
Outcome fetch(const QUrl& url, DownloadLimits limits = {}, int waitMs = 10000,
              const std::function<void()>& whenDone = {})
{
    Outcome out;
    QElapsedTimer clock;
    clock.start();
    auto* downloader = new FileDownloader(
        url, [&out](qint64 received, qint64 total) { out.progress.emplace_back(received, total); },
        nullptr, limits);
    QObject::connect(downloader, &FileDownloader::finished, [&out](const DownloadResult& result) {
        if (++out.finishedCount == 1) {
            out.result = result;
            out.finishedFirst = out.downloadedCount == 0;
        }
    });
    QObject::connect(downloader, &FileDownloader::downloaded,
                     [&out, downloader, &clock, &whenDone] {
                         if (++out.downloadedCount == 1)
                             out.elapsedMs = clock.elapsed();
                         out.succeeded = downloader->succeeded();
                         out.error = downloader->errorString();
                         out.data = downloader->downloadedData();
                         out.dataAgain = downloader->downloadedData();
                         if (whenDone)
                             whenDone();
                     });
    // Callers check downloadedCount themselves: some expect no completion at all.
    (void)QTest::qWaitFor([&out] { return out.downloadedCount > 0; }, waitMs);
    QTest::qWait(150);
    delete downloader;
    // The one result value says what the getters say, once, before downloaded().
    EXPECT_EQ(out.finishedCount, out.downloadedCount);
    if (out.finishedCount > 0) {
        EXPECT_TRUE(out.finishedFirst);
        EXPECT_EQ(out.result.ok, out.succeeded);
        EXPECT_EQ(out.result.error, out.error);
        EXPECT_EQ(out.result.data, out.data);
    }
    return out;
}

// The process's peak resident memory in bytes, started afresh where the system allows; -1 where
// it cannot be read.
qint64 peakMemory(bool restart)
{
    if (restart) {
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        if (clear.open(QIODevice::WriteOnly))
            clear.write("5");
    }
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    return -1;
}

quint32 crc32Bitwise(const QByteArray& bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char c : bytes) {
        crc ^= static_cast<quint8>(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
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
        EXPECT_EQ(out.result.finalUrl, fresh.url(c.finalPath)) << c.name;
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

// A server that never stops sending: the limit ends the download and the connection with it, so
// the server sees the client go after little more than the limit (what the systems' socket buffers
// held on the way comes on top).
TEST_F(FileDownloaderTest, EndlessBodyIsCutOffAtTheLimit)
{
    struct Case
    {
        const char* name;
        bool chunked;
        qint64 contentLength;
    };
    const Case cases[] = {{"chunked", true, -1},
                          {"without a length", false, -1},
                          {"announcing more than the limit", false, qint64(1) << 40}};
    constexpr qint64 limit = 256 * 1024;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpServer endless;
        ASSERT_TRUE(endless.listen());
        HttpResponse r = HttpResponse::ok(QByteArray(16 * 1024, 'e'));
        r.delivery = HttpResponse::Delivery::Endless;
        r.chunked = c.chunked;
        r.contentLength = c.contentLength;
        endless.setResponse("/endless", r);
        DownloadLimits limits;
        limits.maxBytes = limit;
        // The owner may wait in an event loop of its own when it hears of the end (a message
        // box does): the connection is gone by then.
        bool closedWhenHeard = false;
        const auto heard = [&] {
            closedWhenHeard =
                QTest::qWaitFor([&] { return endless.closedByClient("/endless") == 1; }, 5000);
        };
        const Outcome out = fetch(endless.url("/endless"), limits, 10000, heard);
        EXPECT_TRUE(closedWhenHeard) << endless.bytesSent("/endless") << " bytes sent";
        EXPECT_EQ(out.downloadedCount, 1);
        EXPECT_FALSE(out.succeeded);
        EXPECT_TRUE(out.error.contains(QStringLiteral("larger than the 262144 bytes")))
            << out.error.toStdString();
        EXPECT_LE(out.data.size(), limit);
        EXPECT_TRUE(QTest::qWaitFor([&] { return endless.closedByClient("/endless") == 1; }, 5000))
            << endless.bytesSent("/endless") << " bytes sent";
        const qint64 sent = endless.bytesSent("/endless");
        EXPECT_GT(sent, c.contentLength < 0 ? limit : 0);
        EXPECT_LT(sent, limit + (64 << 20));
        // Nothing more goes out once the client has gone.
        QTest::qWait(200);
        EXPECT_EQ(endless.bytesSent("/endless"), sent);
    }
}

TEST(GzipBomb, StreamsUnpackToTheirZeros)
{
    for (qint64 copies : {1, 2, 1000, 4097}) {
        const QByteArray unpacked = qUncompress(qCompressedZeros(copies));
        EXPECT_EQ(unpacked, QByteArray(static_cast<int>(unpackedZeros(copies)), '\0')) << copies;
    }
    for (qint64 n : {0, 1, 7, 1000, 65537})
        EXPECT_EQ(crc32OfZeros(n), crc32Bitwise(QByteArray(static_cast<int>(n), '\0'))) << n;
    EXPECT_EQ(crc32Bitwise("123456789"), 0xCBF43926u);
    const QByteArray gzip = gzipOfZeros(100000);
    EXPECT_NEAR(gzip.size(), 100000, 100);
    EXPECT_EQ(gzip.left(3), QByteArray("\x1f\x8b\x08"));
}

// A compressed body is taken as it comes: a few megabytes that would unpack to gigabytes stay a
// few megabytes, the size limit counts them, and the request never offered gzip.
TEST_F(FileDownloaderTest, CompressedBodiesAreTakenAsSent)
{
    const QByteArray bomb = gzipOfZeros(3 << 20);
    struct Case
    {
        const char* name;
        bool chunked;
        HttpResponse::Delivery delivery;
        qint64 limit;
        QString error; // empty: succeeds with the body as sent
    };
    const Case cases[] = {
        {"with a length", false, HttpResponse::Delivery::Complete, 8 << 20, {}},
        {"chunked", true, HttpResponse::Delivery::Complete, 8 << 20, {}},
        {"over the limit", false, HttpResponse::Delivery::Complete, 1 << 20,
         QStringLiteral("larger than the 1048576 bytes")},
        {"cut off", false, HttpResponse::Delivery::CloseMidBody, 8 << 20,
         server.url("/bomb").toString()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpResponse r = HttpResponse::ok(bomb);
        r.headers.emplace_back("Content-Encoding", "gzip");
        r.headers.emplace_back("Content-Type", "application/octet-stream");
        r.chunked = c.chunked;
        r.chunkSize = c.chunked ? 256 * 1024 : 0;
        r.delivery = c.delivery;
        server.setResponse("/bomb", r);
        DownloadLimits limits;
        limits.maxBytes = c.limit;
        const qint64 peakBefore = peakMemory(true);
        const Outcome out = fetch(server.url("/bomb"), limits, 30000);
        const qint64 peakAfter = peakMemory(false);
        EXPECT_EQ(out.downloadedCount, 1);
        const QByteArray accepted = server.requestHeader("/bomb", "Accept-Encoding");
        EXPECT_FALSE(accepted.isNull());
        EXPECT_FALSE(accepted.toLower().contains("gzip")) << accepted.constData();
        EXPECT_FALSE(accepted.toLower().contains("deflate")) << accepted.constData();
        if (c.error.isEmpty()) {
            EXPECT_TRUE(out.succeeded) << out.error.toStdString();
            EXPECT_EQ(out.data.size(), bomb.size());
            EXPECT_TRUE(out.data == bomb);
        } else {
            EXPECT_FALSE(out.succeeded);
            EXPECT_TRUE(out.error.contains(c.error)) << out.error.toStdString();
            EXPECT_LE(out.data.size(), c.limit);
        }
        for (const auto& [received, total] : out.progress)
            EXPECT_LE(received, bomb.size());
        if (peakBefore > 0 && peakAfter > 0) {
            // A few copies of the packed body, nowhere near what it unpacks to.
            EXPECT_LT(peakAfter - peakBefore, qint64(256) << 20);
        }
    }
}

// One byte every tenth of a second never looks stalled, but it is far below the slowest pace a
// download may keep.
TEST_F(FileDownloaderTest, TooSlowTransfersAreAborted)
{
    HttpResponse trickle = HttpResponse::ok(QByteArray(400, 't'));
    trickle.chunkSize = 1;
    trickle.chunkDelayMs = 100;
    server.setResponse("/trickle", trickle);
    HttpResponse steady = HttpResponse::ok(QByteArray(32 * 1024, 's'));
    steady.chunkSize = 4 * 1024;
    steady.chunkDelayMs = 100;
    server.setResponse("/steady", steady);

    struct Case
    {
        const char* name;
        QByteArray path;
        bool byDefault; // the rule set as the default for new downloads, not in the limits
        bool aborted;
    };
    const Case cases[] = {{"trickle", "/trickle", false, true},
                          {"trickle, default rule", "/trickle", true, true},
                          {"steady", "/steady", false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DownloadLimits limits;
        limits.stallTimeoutMs = 1000;
        if (c.byDefault) {
            FileDownloader::setDefaultMinimumSpeed(200, 1000);
        } else {
            limits.speedWindowMs = 1000;
            limits.minBytesPerWindow = 200;
        }
        const Outcome out = fetch(server.url(c.path), limits, 15000);
        FileDownloader::setDefaultMinimumSpeed(0, 0);
        EXPECT_EQ(out.downloadedCount, 1);
        if (c.aborted) {
            EXPECT_FALSE(out.succeeded);
            EXPECT_TRUE(out.error.contains(QStringLiteral("too slow"))) << out.error.toStdString();
            EXPECT_TRUE(out.error.contains(server.url(c.path).toString()))
                << out.error.toStdString();
            EXPECT_FALSE(out.error.contains(QStringLiteral("No data"))) << out.error.toStdString();
            EXPECT_TRUE(out.data.isEmpty() || out.data.size() < 400);
        } else {
            EXPECT_TRUE(out.succeeded) << out.error.toStdString();
            EXPECT_EQ(out.data.size(), 32 * 1024);
        }
    }
    EXPECT_EQ(FileDownloader::defaultSpeedWindow(), 60000);
    EXPECT_EQ(FileDownloader::defaultMinBytesPerWindow(), 1024);
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
