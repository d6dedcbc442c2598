// FileDownloader against a real HTTP server on 127.0.0.1: redirects, errors, broken and stalled
// transfers, the one downloaded() every download ends with, and downloads into a file that are
// taken up again after a lost connection or by a later downloader.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include "core/Xxh64.h"
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
        EXPECT_TRUE(out.error.contains(QStringLiteral("larger than the 0.00095 MB")))
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
        // The transfer has ended when the client has closed the connection; under Wine the
        // socket has been seen to stay open for a while with nothing read from it any more,
        // which stops the transfer all the same (nothing sent for 2 s).
        const auto transferEnded = [&endless] {
            qint64 last = -1;
            QElapsedTimer quiet;
            return QTest::qWaitFor(
                [&] {
                    if (endless.closedByClient("/endless") == 1)
                        return true;
                    const qint64 now = endless.bytesSent("/endless");
                    if (now != last) {
                        last = now;
                        quiet.start();
                    }
                    return quiet.elapsed() >= 2000;
                },
                20000);
        };
        bool closedWhenHeard = false;
        const auto heard = [&] { closedWhenHeard = transferEnded(); };
        const Outcome out = fetch(endless.url("/endless"), limits, 10000, heard);
        EXPECT_TRUE(closedWhenHeard) << endless.bytesSent("/endless") << " bytes sent";
        EXPECT_EQ(out.downloadedCount, 1);
        EXPECT_FALSE(out.succeeded);
        EXPECT_TRUE(out.error.contains(QStringLiteral("larger than the 0.25 MB")))
            << out.error.toStdString();
        EXPECT_LE(out.data.size(), limit);
        EXPECT_TRUE(transferEnded()) << endless.bytesSent("/endless") << " bytes sent";
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
         QStringLiteral("larger than the 1 MB")},
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

// ---- downloads into a file ----------------------------------------------------------------

QByteArray noise(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

quint64 hashOf(const QByteArray& bytes)
{
    return qdt::xxh64(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Retry
{
    int attempt;
    int attempts;
    qint64 kept;
    QString reason;
};

struct FileOutcome
{
    int downloadedCount = 0;
    DownloadResult result;
    std::vector<Retry> retries;
    std::vector<std::pair<qint64, qint64>> progress;
};

class ResumableDownload : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen());
        ASSERT_TRUE(dir.isValid());
        finalPath = dir.filePath(QStringLiteral("patch_EN.data"));
        FileDownloader::setDefaultRetryPauses({30, 60});
    }
    void TearDown() override { FileDownloader::setDefaultRetryPauses({}); }

    QString partialPath() const { return PartialDownload::partialPathFor(finalPath); }
    QString recordPath() const { return PartialDownload::recordPathFor(finalPath); }

    // Runs one download into `finalPath` to its end; `onRetry` runs inside each retrying().
    FileOutcome fetchFile(const QUrl& url, quint64 published, DownloadLimits limits = {},
                          const std::function<void(const Retry&)>& onRetry = {})
    {
        FileOutcome out;
        auto* downloader = new FileDownloader(
            url,
            [&out](qint64 received, qint64 total) { out.progress.emplace_back(received, total); },
            nullptr, limits, DownloadTarget{finalPath, published, std::nullopt});
        QObject::connect(downloader, &FileDownloader::finished, [&out](const DownloadResult& r) {
            if (++out.downloadedCount == 1)
                out.result = r;
        });
        QObject::connect(
            downloader, &FileDownloader::retrying,
            [&out, &onRetry](int attempt, int attempts, qint64 kept, const QString& reason) {
                out.retries.push_back({attempt, attempts, kept, reason});
                if (onRetry)
                    onRetry(out.retries.back());
            });
        (void)QTest::qWaitFor([&out] { return out.downloadedCount > 0; }, 20000);
        QTest::qWait(50);
        delete downloader;
        EXPECT_EQ(out.downloadedCount, 1);
        return out;
    }

    // Nothing but the final file (when `final`) is left in the folder.
    void expectOnlyFinal(bool final)
    {
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::System | QDir::Hidden),
                  final ? QStringList{QStringLiteral("patch_EN.data")} : QStringList());
    }

    HttpServer server;
    QTemporaryDir dir;
    QString finalPath;
};

// Connections that break part-way are taken up again where they broke when the server confirms
// the same file; without that confirmation each attempt starts from the first byte.
TEST_F(ResumableDownload, LostConnectionsAreTakenUpAgain)
{
    const int size = 3 << 20;
    const QByteArray body = noise(size, 1);
    const qint64 at30 = size * 3 / 10, at70 = size * 7 / 10;
    struct Case
    {
        const char* name;
        bool ranges;
        QByteArray validatorHeader; // empty: none
        QByteArray validator;
        std::vector<int> statuses;
        std::vector<QByteArray> rangesAsked; // null: no Range header
        double maxSentPerByte;
        bool viaRedirect = false; // each attempt starts at an address that redirects
    };
    const QByteArray r30 = "bytes=" + QByteArray::number(at30) + '-';
    const QByteArray r70 = "bytes=" + QByteArray::number(at70) + '-';
    const Case cases[] = {
        {"strong ETag", true, "ETag", "\"v1\"", {200, 206, 206}, {{}, r30, r70}, 1.2},
        {"strong ETag, behind a redirect",
         true,
         "ETag",
         "\"v1\"",
         {200, 206, 206},
         {{}, r30, r70},
         1.2,
         true},
        {"Last-Modified",
         true,
         "Last-Modified",
         "Tue, 01 Dec 2026 10:00:00 GMT",
         {200, 206, 206},
         {{}, r30, r70},
         1.2},
        {"no range support", false, "ETag", "\"v1\"", {200, 200, 200}, {{}, r30, r70}, 2.1},
        {"weak ETag only", true, "ETag", "W/\"v1\"", {200, 200, 200}, {{}, {}, {}}, 2.1},
        {"no validator", true, {}, {}, {200, 200, 200}, {{}, {}, {}}, 2.1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpServer server;
        ASSERT_TRUE(server.listen());
        HttpResponse r = HttpResponse::ok(body);
        r.ranges = c.ranges;
        if (!c.validatorHeader.isEmpty())
            r.headers.emplace_back(c.validatorHeader, c.validator);
        r.dropAt = {at30, at70};
        server.setResponse("/patch", r);
        server.setResponse("/start", HttpResponse::redirect("/patch"));

        const FileOutcome out =
            fetchFile(server.url(c.viaRedirect ? "/start" : "/patch"), hashOf(body));
        EXPECT_TRUE(out.result.ok) << out.result.error.toStdString();
        EXPECT_EQ(out.result.failure, DownloadFailure::None);
        EXPECT_EQ(server.requestCount("/start"), c.viaRedirect ? 3 : 0);
        EXPECT_EQ(out.result.savedTo, finalPath);
        EXPECT_TRUE(out.result.data == body);
        EXPECT_TRUE(fileBytes(finalPath) == body);
        expectOnlyFinal(true);
        EXPECT_EQ(out.result.attempts, 3);
        EXPECT_EQ(server.statuses("/patch"), c.statuses);
        const std::vector<QByteArray> asked = server.requestHeaders("/patch", "Range");
        ASSERT_EQ(asked.size(), c.rangesAsked.size());
        for (std::size_t i = 0; i < asked.size(); ++i) {
            EXPECT_EQ(asked[i], c.rangesAsked[i]) << i;
            EXPECT_EQ(asked[i].isNull(), c.rangesAsked[i].isNull()) << i;
        }
        const std::vector<QByteArray> ifRange = server.requestHeaders("/patch", "If-Range");
        for (std::size_t i = 0; i < asked.size(); ++i)
            EXPECT_EQ(ifRange[i], asked[i].isNull() ? QByteArray() : c.validator) << i;
        EXPECT_LE(server.bytesSent("/patch"), qint64(size * c.maxSentPerByte));
        // The player is told each time, with the attempt and what is kept.
        ASSERT_EQ(out.retries.size(), 2u);
        EXPECT_EQ(out.retries[0].attempt, 2);
        EXPECT_EQ(out.retries[1].attempt, 3);
        EXPECT_EQ(out.retries[0].attempts, 3);
        const bool resumes = c.statuses[1] == 206 || !asked[1].isNull();
        EXPECT_EQ(out.retries[0].kept, resumes ? at30 : 0);
        EXPECT_EQ(out.retries[1].kept, resumes ? at70 : 0);
        // Progress counts the whole file, never beyond it.
        ASSERT_FALSE(out.progress.empty());
        EXPECT_EQ(out.progress.back(), std::make_pair(qint64(size), qint64(size)));
        for (const auto& [received, total] : out.progress)
            EXPECT_LE(received, size);
        QFile::remove(finalPath);
    }
}

// The file changes on the server between two attempts: the bytes kept from the old one are never
// joined to the new one. An honest server answers the If-Range with the whole new file; a careless
// one that sends a range anyway is caught by its Content-Range or its ETag; one that keeps the old
// ETag for the new content, by the hash.
TEST_F(ResumableDownload, AFileThatChangedIsNeverSpliced)
{
    const int size = 1 << 20;
    const QByteArray before = noise(size, 2);
    struct Case
    {
        const char* name;
        QByteArray after; // what the server has from the second attempt on
        QByteArray etag;
        bool ignoreIfRange;
        bool ok;
        std::vector<int> statuses;
    };
    const Case cases[] = {
        {"honest server, new validator", noise(size, 3), "\"new\"", false, true, {200, 200}},
        {"careless server, other size",
         noise(size + 1000, 4),
         "\"old\"",
         true,
         true,
         {200, 206, 200}},
        {"careless server, new ETag", noise(size, 5), "\"new\"", true, true, {200, 206, 200}},
        {"lying server, old ETag", noise(size, 5), "\"old\"", true, false, {200, 206}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpServer server;
        ASSERT_TRUE(server.listen());
        HttpResponse first = HttpResponse::ok(before);
        first.ranges = true;
        first.headers.emplace_back("ETag", "\"old\"");
        first.dropAt = {size * 2 / 5};
        server.setResponse("/patch", first);
        HttpResponse second = HttpResponse::ok(c.after);
        second.ranges = true;
        second.ignoreIfRange = c.ignoreIfRange;
        second.headers.emplace_back("ETag", c.etag);
        const QByteArray cached = "the copy kept before";
        {
            QFile old(finalPath);
            ASSERT_TRUE(old.open(QIODevice::WriteOnly));
            old.write(cached);
        }

        const FileOutcome out =
            fetchFile(server.url("/patch"), hashOf(c.after), {},
                      [&](const Retry&) { server.setResponse("/patch", second); });
        EXPECT_EQ(server.statuses("/patch"), c.statuses);
        EXPECT_EQ(server.requestHeaders("/patch", "If-Range").at(1), QByteArray("\"old\""));
        EXPECT_EQ(out.result.ok, c.ok) << out.result.error.toStdString();
        if (c.ok) {
            EXPECT_TRUE(fileBytes(finalPath) == c.after);
            EXPECT_TRUE(out.result.data == c.after);
        } else {
            EXPECT_EQ(out.result.failure, DownloadFailure::Mismatch);
            EXPECT_TRUE(out.result.error.contains(QStringLiteral("hash differs")))
                << out.result.error.toStdString();
            EXPECT_TRUE(out.result.data.isEmpty());
            EXPECT_EQ(fileBytes(finalPath), cached);
        }
        expectOnlyFinal(true);
        QFile::remove(finalPath);
    }
}

// A download that ends before its file is complete (a new choice, a closed window, a program that
// is killed) leaves its bytes and their record; a later downloader for the same address and
// published hash asks only for the rest.
TEST_F(ResumableDownload, ALaterDownloaderContinuesTheKeptBytes)
{
    const int size = 1 << 20;
    const QByteArray body = noise(size, 6);
    HttpResponse slow = HttpResponse::ok(body);
    slow.ranges = true;
    slow.headers.emplace_back("ETag", "\"v7\"");
    slow.chunkSize = 64 * 1024;
    slow.chunkDelayMs = 40;
    server.setResponse("/patch", slow);

    qint64 seen = 0;
    {
        auto* first = new FileDownloader(
            server.url("/patch"), [&seen](qint64 received, qint64) { seen = received; }, nullptr,
            {}, DownloadTarget{finalPath, hashOf(body), std::nullopt});
        ASSERT_TRUE(QTest::qWaitFor([&] { return seen >= size / 3; }, 10000));
        first->cancel();
        delete first;
    }
    const qint64 kept = QFileInfo(partialPath()).size();
    EXPECT_GE(kept, size / 3);
    EXPECT_LT(kept, size);
    EXPECT_TRUE(fileBytes(partialPath()) == body.left(static_cast<int>(kept)));
    EXPECT_TRUE(QFileInfo::exists(recordPath()));
    EXPECT_FALSE(QFileInfo::exists(finalPath));
    const qint64 sentBefore = server.bytesSent("/patch");

    server.setResponse("/patch", [&] {
        HttpResponse fast = slow;
        fast.chunkSize = 0;
        return fast;
    }());
    const FileOutcome out = fetchFile(server.url("/patch"), hashOf(body));
    EXPECT_TRUE(out.result.ok) << out.result.error.toStdString();
    EXPECT_EQ(out.result.resumedFrom, kept);
    EXPECT_EQ(server.requestHeader("/patch", "Range"), "bytes=" + QByteArray::number(kept) + '-');
    EXPECT_EQ(server.requestHeader("/patch", "If-Range"), QByteArray("\"v7\""));
    EXPECT_EQ(server.statuses("/patch"), (std::vector<int>{200, 206}));
    // The rest only, and its head.
    EXPECT_LE(server.bytesSent("/patch") - sentBefore, size - kept + 1024);
    EXPECT_TRUE(fileBytes(finalPath) == body);
    ASSERT_FALSE(out.progress.empty());
    EXPECT_GE(out.progress.front().first, kept);
    expectOnlyFinal(true);
}

// What lies beside the final file under our names but does not vouch for itself is discarded, and
// the download starts from the first byte; a link there never leads a write anywhere else.
TEST_F(ResumableDownload, ForeignOrDamagedLeftoversStartFromZero)
{
    const int size = 256 * 1024;
    const QByteArray body = noise(size, 8);
    HttpResponse r = HttpResponse::ok(body);
    r.ranges = true;
    r.headers.emplace_back("ETag", "\"v8\"");
    server.setResponse("/patch", r);
    const QString address = server.url("/patch").toString();
    const auto record = [&](const QString& url, quint64 published, qint64 total) {
        return QStringLiteral("{\"kind\":\"quen-dara-partial-download\",\"version\":1,"
                              "\"address\":\"%1\",\"published\":\"%2\",\"validator\":"
                              "\"\\\"v8\\\"\",\"total\":%3}")
            .arg(url)
            .arg(published, 16, 16, QLatin1Char('0'))
            .arg(total)
            .toUtf8();
    };
    const QByteArray good = record(address, hashOf(body), size);
    // The same record with another "total" written in: numbers from the disk are checked too.
    const auto withTotal = [&](const char* total) {
        return QByteArray(good).replace(",\"total\":" + QByteArray::number(size),
                                        ",\"total\":" + QByteArray(total));
    };
    const QByteArray playerFile = "a file the player owns";
    QTemporaryDir elsewhere;
    ASSERT_TRUE(elsewhere.isValid());
    const QString outside = elsewhere.filePath(QStringLiteral("player.data"));
    struct Case
    {
        const char* name;
        QByteArray record; // null: no record
        QByteArray partial;
        bool partialIsLink;
        bool resumes;
    };
    const Case cases[] = {
        {"a sound record (control)", good, body.left(1000), false, true},
        {"no record", QByteArray(), body.left(1000), false, false},
        {"damaged record", good.left(good.size() / 2), body.left(1000), false, false},
        {"another program's JSON", "{\"total\": 5}", body.left(1000), false, false},
        {"another address", record(address + QStringLiteral("x"), hashOf(body), size),
         body.left(1000), false, false},
        {"another published hash", record(address, hashOf(body) + 1, size), body.left(1000), false,
         false},
        {"partial as long as the file", good, body, false, false},
        {"a total that is not whole", withTotal("262144.5"), body.left(1000), false, false},
        {"a total no number type holds", withTotal("1e300"), body.left(1000), false, false},
        {"a negative total", withTotal("-262144"), body.left(1000), false, false},
        {"a total larger than any patch", withTotal("4294967296"), body.left(1000), false, false},
#ifndef Q_OS_WIN
        // (Windows makes a shortcut file under that name, not a link.)
        {"partial is a link", good, QByteArray(), true, false},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpServer server;
        ASSERT_TRUE(server.listen());
        server.setResponse("/patch", r);
        // Same address as the record names: this case's server listens elsewhere, so the
        // record is rewritten for it.
        const QByteArray rec = QByteArray(c.record).replace(
            address.toUtf8(), server.url("/patch").toString().toUtf8());
        if (!c.record.isNull()) {
            QFile f(recordPath());
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(rec);
        }
        if (c.partialIsLink) {
            QFile player(outside);
            ASSERT_TRUE(player.open(QIODevice::WriteOnly));
            player.write(playerFile);
            player.close();
            ASSERT_TRUE(QFile::link(outside, partialPath()));
        } else {
            QFile f(partialPath());
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.partial);
        }

        const FileOutcome out = fetchFile(server.url("/patch"), hashOf(body));
        EXPECT_TRUE(out.result.ok) << out.result.error.toStdString();
        EXPECT_TRUE(fileBytes(finalPath) == body);
        EXPECT_EQ(out.result.resumedFrom, c.resumes ? c.partial.size() : 0);
        EXPECT_EQ(server.statuses("/patch"), std::vector<int>{c.resumes ? 206 : 200});
        EXPECT_EQ(server.requestHeader("/patch", "Range").isNull(), !c.resumes);
        if (c.partialIsLink) {
            EXPECT_EQ(fileBytes(outside), playerFile);
            QFile::remove(outside);
        }
        expectOnlyFinal(true);
        QFile::remove(finalPath);
    }
}

// Only a broken connection is worth another attempt: the server's refusals, the size limit, an
// address we don't fetch and a file that is not the published one end the download at once, say
// what the server did, and leave nothing behind.
TEST_F(ResumableDownload, RefusalsAreNotRetried)
{
    const QByteArray body = noise(200000, 9);
    HttpResponse ok = HttpResponse::ok(body);
    ok.ranges = true;
    ok.headers.emplace_back("ETag", "\"v9\"");
    HttpResponse teapot = HttpResponse::error(418, "<html>no</html>");
    teapot.reason = " "; // blank, as from servers that give no phrase
    struct Case
    {
        const char* name;
        HttpResponse response;
        qint64 maxBytes;
        bool published; // false: the manifest would name another file
        DownloadFailure failure;
        QString error;
        int httpStatus;
    };
    const Case cases[] = {
        {"404", HttpResponse::error(404, "<html>gone</html>"), -1, true, DownloadFailure::Refused,
         QStringLiteral("The server answered 404 (Not Found) for "), 404},
        {"403", HttpResponse::error(403, "<html>no</html>"), -1, true, DownloadFailure::Refused,
         QStringLiteral("The server answered 403 (Forbidden) for "), 403},
        {"500", HttpResponse::error(500, "<html>oops</html>"), -1, true, DownloadFailure::Refused,
         QStringLiteral("The server answered 500 (Internal Server Error) for "), 500},
        {"a status without a phrase", teapot, -1, true, DownloadFailure::Refused,
         QStringLiteral("The server answered 418 for "), 418},
        {"size limit", ok, 128 * 1024, true, DownloadFailure::Refused,
         QStringLiteral("larger than the 0.13 MB this program accepts"), 0},
        {"redirect to a file", HttpResponse::redirect("file:///etc/hostname"), -1, true,
         DownloadFailure::Refused, QStringLiteral("\"file:///etc/hostname\", which is not an http"),
         0},
        {"redirect to ftp", HttpResponse::redirect("ftp://127.0.0.1/patch.data"), -1, true,
         DownloadFailure::Refused, QStringLiteral("\"ftp://127.0.0.1/patch.data\", which is not"),
         0},
        {"redirect to another scheme", HttpResponse::redirect("gopher://127.0.0.1/patch"), -1, true,
         DownloadFailure::Refused, QStringLiteral("not an http or https address"), 0},
        {"not the published file", ok, -1, false, DownloadFailure::Mismatch,
         QStringLiteral("hash differs"), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpServer server;
        ASSERT_TRUE(server.listen());
        server.setResponse("/patch", c.response);
        DownloadLimits limits;
        limits.maxBytes = c.maxBytes;
        const FileOutcome out =
            fetchFile(server.url("/patch"), c.published ? hashOf(body) : hashOf(body) ^ 1, limits);
        EXPECT_FALSE(out.result.ok);
        EXPECT_EQ(out.result.failure, c.failure);
        EXPECT_TRUE(out.result.error.contains(c.error)) << out.result.error.toStdString();
        EXPECT_TRUE(out.result.error.contains(server.url("/patch").toString()) ||
                    c.failure == DownloadFailure::Mismatch)
            << out.result.error.toStdString();
        EXPECT_EQ(out.result.httpStatus, c.httpStatus);
        EXPECT_EQ(server.requestCount(), 1);
        EXPECT_TRUE(out.retries.empty());
        EXPECT_TRUE(out.result.savedTo.isEmpty());
        expectOnlyFinal(false);
    }
}

// A connection that keeps breaking is given up after the last pause: with a file the server can
// confirm, the bytes so far stay for the next try, which continues from there.
TEST_F(ResumableDownload, GivesUpAfterTheLastAttempt)
{
    const int size = 1 << 20;
    const QByteArray body = noise(size, 10);
    struct Case
    {
        const char* name;
        bool validator;
        qint64 keptAtTheEnd;
    };
    const Case cases[] = {{"without a validator", false, 0}, {"with an ETag", true, size * 3 / 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpServer server;
        ASSERT_TRUE(server.listen());
        HttpResponse r = HttpResponse::ok(body);
        r.ranges = true;
        if (c.validator)
            r.headers.emplace_back("ETag", "\"v10\"");
        for (int tenth = 1; tenth <= 9; ++tenth)
            r.dropAt.push_back(size * tenth / 10);
        if (!c.validator)
            r.delivery = HttpResponse::Delivery::CloseMidBody;
        server.setResponse("/patch", r);

        const FileOutcome out = fetchFile(server.url("/patch"), hashOf(body));
        EXPECT_FALSE(out.result.ok);
        EXPECT_EQ(out.result.failure, DownloadFailure::Connection);
        EXPECT_EQ(server.requestCount("/patch"), 3);
        EXPECT_EQ(out.retries.size(), 2u);
        EXPECT_TRUE(out.result.error.contains(QStringLiteral("tried 3 times")))
            << out.result.error.toStdString();
        EXPECT_EQ(out.result.error.contains(QStringLiteral("kept")), c.keptAtTheEnd > 0)
            << out.result.error.toStdString();
        EXPECT_FALSE(QFileInfo::exists(finalPath));
        EXPECT_EQ(QFileInfo(partialPath()).size(), c.keptAtTheEnd);
        EXPECT_EQ(QFileInfo::exists(recordPath()), c.keptAtTheEnd > 0);
        if (c.keptAtTheEnd == 0)
            continue;
        EXPECT_TRUE(fileBytes(partialPath()) == body.left(static_cast<int>(c.keptAtTheEnd)));

        r.dropAt.clear();
        server.setResponse("/patch", r);
        const FileOutcome next = fetchFile(server.url("/patch"), hashOf(body));
        EXPECT_TRUE(next.result.ok) << next.result.error.toStdString();
        EXPECT_EQ(next.result.resumedFrom, c.keptAtTheEnd);
        EXPECT_TRUE(fileBytes(finalPath) == body);
        expectOnlyFinal(true);
    }
}

// The stall rule holds for every attempt: a transfer that goes silent counts as a lost
// connection, and the next attempt continues after what arrived.
TEST_F(ResumableDownload, AStalledAttemptIsTakenUpAgain)
{
    const int size = 400000;
    const QByteArray body = noise(size, 11);
    HttpResponse stalls = HttpResponse::ok(body);
    stalls.ranges = true;
    stalls.headers.emplace_back("ETag", "\"v11\"");
    stalls.delivery = HttpResponse::Delivery::StallMidBody;
    server.setResponse("/patch", stalls);
    HttpResponse whole = stalls;
    whole.delivery = HttpResponse::Delivery::Complete;
    DownloadLimits limits;
    limits.stallTimeoutMs = 300;
    const FileOutcome out = fetchFile(server.url("/patch"), hashOf(body), limits,
                                      [&](const Retry&) { server.setResponse("/patch", whole); });
    EXPECT_TRUE(out.result.ok) << out.result.error.toStdString();
    ASSERT_EQ(out.retries.size(), 1u);
    EXPECT_TRUE(out.retries[0].reason.contains(QStringLiteral("No data arrived")))
        << out.retries[0].reason.toStdString();
    EXPECT_EQ(out.retries[0].kept, size / 2);
    EXPECT_EQ(server.statuses("/patch"), (std::vector<int>{200, 206}));
    EXPECT_EQ(server.requestHeader("/patch", "Range"),
              "bytes=" + QByteArray::number(size / 2) + '-');
    EXPECT_TRUE(fileBytes(finalPath) == body);
}

// However many attempts are left, a download that gets next to nothing ends when the progress
// budget runs out: the budget runs across attempts and pauses, and only real bytes renew it. A
// slow but real transfer that takes longer than the budget as a whole, lost connection included,
// is never cut off.
TEST_F(ResumableDownload, NoRealProgressEndsTheDownloadWithinTheBudget)
{
    constexpr int budgetMs = 1500;
    const QByteArray body = noise(64 * 1024, 13);
    HttpResponse base = HttpResponse::ok(body);
    base.ranges = true;
    base.headers.emplace_back("ETag", "\"v13\"");
    HttpResponse trickle = base; // a byte at a time: never silent, never anywhere
    trickle.chunkSize = 1;
    trickle.chunkDelayMs = 50;
    HttpResponse silent = base;
    silent.delivery = HttpResponse::Delivery::StallBeforeHeaders;
    HttpResponse slow = base; // 20 KiB/s
    slow.chunkSize = 2048;
    slow.chunkDelayMs = 100;
    slow.dropAt = {body.size() / 2};
    struct Case
    {
        const char* name;
        HttpResponse response;
        bool ok;
        QString reason; // of the first new attempt
    };
    const Case cases[] = {
        {"trickle", trickle, false, QStringLiteral("too slow")},
        {"silent", silent, false, QStringLiteral("No data arrived")},
        {"slow but real, with a lost connection", slow, true, QStringLiteral("/patch")},
    };
    FileDownloader::setDefaultRetryPauses({50, 50, 50, 50, 50});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpServer server;
        ASSERT_TRUE(server.listen());
        server.setResponse("/patch", c.response);
        DownloadLimits limits;
        limits.stallTimeoutMs = 400;
        limits.speedWindowMs = 500;
        limits.minBytesPerWindow = 256;
        limits.progressBudgetMs = budgetMs;
        limits.progressBytes = 1024;
        QElapsedTimer clock;
        clock.start();
        const FileOutcome out = fetchFile(server.url("/patch"), hashOf(body), limits);
        const qint64 elapsed = clock.elapsed();
        ASSERT_FALSE(out.retries.empty());
        EXPECT_TRUE(out.retries[0].reason.contains(c.reason))
            << out.retries[0].reason.toStdString();
        EXPECT_EQ(out.retries[0].attempts, 6);
        EXPECT_EQ(out.result.ok, c.ok) << out.result.error.toStdString();
        if (c.ok) {
            EXPECT_TRUE(fileBytes(finalPath) == body);
            EXPECT_EQ(server.statuses("/patch"), (std::vector<int>{200, 206}));
            // The server's own pace makes it outlast the budget.
            EXPECT_GT(elapsed, budgetMs);
            expectOnlyFinal(true);
            QFile::remove(finalPath);
            continue;
        }
        EXPECT_EQ(out.result.failure, DownloadFailure::NoProgress);
        EXPECT_TRUE(out.result.error.startsWith(
            QStringLiteral("The server stopped sending %1, or sends it too slowly")
                .arg(server.url("/patch").toString())))
            << out.result.error.toStdString();
        // The budget ended it, not the attempts.
        EXPECT_LT(out.result.attempts, 6);
        EXPECT_EQ(static_cast<int>(out.retries.size()), out.result.attempts - 1);
        EXPECT_TRUE(out.result.error.contains(
            QStringLiteral("The download was tried %1 times.").arg(out.result.attempts)))
            << out.result.error.toStdString();
        EXPECT_GE(elapsed, budgetMs - 100);
        EXPECT_LT(elapsed, budgetMs + 3000);
        EXPECT_FALSE(QFileInfo::exists(finalPath));
    }
}

// Where the partial file can't be written the download fails at once, says where, and leaves no
// final file.
TEST_F(ResumableDownload, AFolderThatRefusesTheFileFailsClearly)
{
    const QByteArray body = noise(100000, 12);
    server.setResponse("/patch", HttpResponse::ok(body));
    struct Case
    {
        const char* name;
        QString finalPath;
        bool blockPartial; // a folder under the partial file's name
    };
    const Case cases[] = {
        {"missing folder", dir.filePath(QStringLiteral("missing/patch_EN.data")), false},
        {"something in the way", dir.filePath(QStringLiteral("patch_EN.data")), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        finalPath = c.finalPath;
        if (c.blockPartial) {
            ASSERT_TRUE(QDir().mkpath(partialPath()));
        }
        const int before = server.requestCount();
        const FileOutcome out = fetchFile(server.url("/patch"), hashOf(body));
        EXPECT_FALSE(out.result.ok);
        EXPECT_EQ(out.result.failure, DownloadFailure::Storage);
        EXPECT_TRUE(out.result.error.contains(partialPath())) << out.result.error.toStdString();
        EXPECT_TRUE(out.result.error.contains(QStringLiteral("try again")))
            << out.result.error.toStdString();
        EXPECT_EQ(server.requestCount(), before + 1);
        EXPECT_FALSE(QFileInfo::exists(finalPath));
        EXPECT_EQ(QFileInfo(partialPath()).isDir(), c.blockPartial);
    }
}

// A download whose program is killed part-way, at no moment of its choosing: the next downloader
// (a later run) asks only for the rest, and the file comes out whole.
TEST_F(ResumableDownload, WhatAKilledProgramLeftIsContinued)
{
    const int size = 1 << 20;
    const QByteArray body = noise(size, 13);
    HttpResponse slow = HttpResponse::ok(body);
    slow.ranges = true;
    slow.headers.emplace_back("ETag", "\"v13\"");
    slow.chunkSize = 32 * 1024;
    slow.chunkDelayMs = 40;
    server.setResponse("/patch", slow);

    QProcess helper;
    helper.setProgram(QStringLiteral(QDT_DOWNLOAD_HELPER));
    helper.setArguments(
        {server.url("/patch").toString(), finalPath, QString::number(hashOf(body), 16)});
    helper.start();
    ASSERT_TRUE(helper.waitForStarted(30000));
    const bool partway =
        QTest::qWaitFor([&] { return QFileInfo(partialPath()).size() >= size / 3; }, 60000);
    helper.kill();
    ASSERT_TRUE(helper.waitForFinished(30000));
    ASSERT_TRUE(partway);
    const qint64 kept = QFileInfo(partialPath()).size();
    ASSERT_GT(kept, 0);
    ASSERT_LT(kept, size);
    EXPECT_TRUE(fileBytes(partialPath()) == body.left(static_cast<int>(kept)));
    EXPECT_TRUE(QFileInfo::exists(recordPath()));
    EXPECT_FALSE(QFileInfo::exists(finalPath));

    slow.chunkSize = 0;
    server.setResponse("/patch", slow);
    const FileOutcome out = fetchFile(server.url("/patch"), hashOf(body));
    EXPECT_TRUE(out.result.ok) << out.result.error.toStdString();
    EXPECT_EQ(out.result.resumedFrom, kept);
    EXPECT_EQ(server.requestHeader("/patch", "Range"), "bytes=" + QByteArray::number(kept) + '-');
    EXPECT_EQ(server.statuses("/patch"), (std::vector<int>{200, 206}));
    EXPECT_TRUE(fileBytes(finalPath) == body);
    expectOnlyFinal(true);
}

// A range answer is taken only as the continuation of the kept bytes: one that starts elsewhere,
// has another total, ends early, or does not say what it holds is set aside, and the file is
// fetched again from its first byte.
TEST_F(ResumableDownload, ARangeAnswerThatDoesNotContinueIsNotUsed)
{
    const int size = 300000;
    const QByteArray body = noise(size, 14);
    const int at = size / 2;
    const QByteArray n = QByteArray::number(size);
    struct Case
    {
        const char* name;
        QByteArray contentRange; // null: none
        QByteArray part;
        QByteArray contentType;
    };
    const Case cases[] = {
        {"starts at 0", "bytes 0-" + QByteArray::number(size - 1) + '/' + n, body, {}},
        {"starts later",
         "bytes " + QByteArray::number(at + 10) + '-' + QByteArray::number(size - 1) + '/' + n,
         body.mid(at + 10),
         {}},
        {"other total",
         "bytes " + QByteArray::number(at) + '-' + QByteArray::number(size - 1) + "/" +
             QByteArray::number(size + 1),
         body.mid(at),
         {}},
        {"ends early",
         "bytes " + QByteArray::number(at) + '-' + QByteArray::number(size - 2) + '/' + n,
         body.mid(at, size - at - 1),
         {}},
        {"no Content-Range", QByteArray(), body.mid(at), {}},
        {"several ranges", QByteArray(), "--sep\r\n" + body.mid(at) + "\r\n--sep--\r\n",
         "multipart/byteranges; boundary=sep"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpServer server;
        ASSERT_TRUE(server.listen());
        HttpResponse good = HttpResponse::ok(body);
        good.ranges = true;
        good.headers.emplace_back("ETag", "\"v14\"");
        HttpResponse first = good;
        first.dropAt = {at};
        HttpResponse odd = HttpResponse::ok(c.part);
        odd.status = 206;
        odd.headers.emplace_back("ETag", "\"v14\"");
        if (!c.contentRange.isNull())
            odd.headers.emplace_back("Content-Range", c.contentRange);
        if (!c.contentType.isNull())
            odd.headers.emplace_back("Content-Type", c.contentType);
        server.setResponse("/patch", first);
        int retries = 0;
        const FileOutcome out =
            fetchFile(server.url("/patch"), hashOf(body), {}, [&](const Retry&) {
                server.setResponse("/patch", ++retries == 1 ? odd : good);
            });
        EXPECT_TRUE(out.result.ok) << out.result.error.toStdString();
        EXPECT_EQ(server.statuses("/patch"), (std::vector<int>{200, 206, 200}));
        const std::vector<QByteArray> asked = server.requestHeaders("/patch", "Range");
        ASSERT_EQ(asked.size(), 3u);
        EXPECT_EQ(asked[1], "bytes=" + QByteArray::number(at) + '-');
        EXPECT_TRUE(asked[2].isNull());
        ASSERT_EQ(out.retries.size(), 2u);
        EXPECT_EQ(out.retries[1].kept, 0);
        EXPECT_TRUE(fileBytes(finalPath) == body);
        expectOnlyFinal(true);
        QFile::remove(finalPath);
    }
}

// The size limit counts the whole file, also when only its rest is asked for.
TEST_F(ResumableDownload, TheSizeLimitCountsTheKeptBytesToo)
{
    const int size = 300000;
    const QByteArray body = noise(size, 15);
    HttpResponse r = HttpResponse::ok(body);
    r.ranges = true;
    r.headers.emplace_back("ETag", "\"v15\"");
    r.dropAt = {size / 2};
    server.setResponse("/patch", r);
    DownloadLimits once;
    once.retryPausesMs = std::vector<int>();
    const FileOutcome first = fetchFile(server.url("/patch"), hashOf(body), once);
    ASSERT_EQ(first.result.failure, DownloadFailure::Connection);
    ASSERT_EQ(QFileInfo(partialPath()).size(), size / 2);

    DownloadLimits limits;
    limits.maxBytes = size - 1000; // more than the rest, less than the file
    const FileOutcome out = fetchFile(server.url("/patch"), hashOf(body), limits);
    EXPECT_FALSE(out.result.ok);
    EXPECT_EQ(out.result.failure, DownloadFailure::Refused);
    EXPECT_TRUE(out.result.error.contains(QStringLiteral("larger than")))
        << out.result.error.toStdString();
    EXPECT_EQ(server.requestCount("/patch"), 2);
    EXPECT_TRUE(out.retries.empty());
    expectOnlyFinal(false);
}

#ifdef Q_OS_LINUX
// A disk that fills up part-way: the download fails at once and says what to do, no final file
// appears, and what was written is a true beginning of the file that the next run continues.
TEST_F(ResumableDownload, ADiskThatFillsUpFailsAndKeepsATrueBeginning)
{
    const int size = 1 << 20;
    const QByteArray body = noise(size, 16);
    HttpResponse r = HttpResponse::ok(body);
    r.ranges = true;
    r.headers.emplace_back("ETag", "\"v16\"");
    server.setResponse("/patch", r);
    const QByteArray old = "the copy kept before";
    {
        QFile f(finalPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(old);
    }

    QProcess helper;
    helper.setProgram(QStringLiteral(QDT_DOWNLOAD_HELPER));
    helper.setArguments(
        {server.url("/patch").toString(), finalPath, QString::number(hashOf(body), 16)});
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const qint64 limit = 300000 + 12345;
    env.insert(QStringLiteral("QDT_HELPER_FILE_LIMIT"), QString::number(limit));
    helper.setProcessEnvironment(env);
    helper.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return helper.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(helper.exitCode(), 1);
    const QString said = QString::fromUtf8(helper.readAllStandardError());
    EXPECT_TRUE(said.contains(partialPath())) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("Free some disk space"))) << said.toStdString();
    EXPECT_EQ(server.requestCount("/patch"), 1);
    EXPECT_EQ(fileBytes(finalPath), old);
    const qint64 kept = QFileInfo(partialPath()).size();
    EXPECT_EQ(kept, limit);
    EXPECT_TRUE(fileBytes(partialPath()) == body.left(static_cast<int>(kept)));

    // With room again, the next run continues.
    const FileOutcome out = fetchFile(server.url("/patch"), hashOf(body));
    EXPECT_TRUE(out.result.ok) << out.result.error.toStdString();
    EXPECT_EQ(out.result.resumedFrom, kept);
    EXPECT_TRUE(fileBytes(finalPath) == body);
    expectOnlyFinal(true);
}
#endif

} // namespace
