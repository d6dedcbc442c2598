// Download figures for FileDownloader: throughput from a local server and the peak memory the
// client needs per byte of body, and the bytes a server sends for a patch download into a file
// whose connection is dropped three times (with byte ranges, and for a server without them). The
// servers are Python programs in their own processes, so the memory figures are the downloader's
// alone.
//
//   bench_download [MiB]   (default 256)
#include <cstdio>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include "core/Xxh64.h"
#include "distribution/FileDownloader.h"

namespace {

// Peak and current resident set size in KiB, from /proc/self/status.
qint64 statusField(const char* name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(name))
            return line.mid(static_cast<int>(qstrlen(name)))
                .trimmed()
                .split(' ')
                .first()
                .toLongLong();
    return -1;
}

bool waitForPort(quint16 port)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        if (probe.waitForConnected(100))
            return true;
        QThread::msleep(50);
    }
    return false;
}

struct DroppedRun
{
    bool ok = false;
    QString error;
    int attempts = 0;
    double seconds = 0;
    qint64 bodySent = 0; // body bytes the server sent, all answers together
    QByteArray statuses;
};

// One download of `file` into `target` from range_server.py, which drops the connection once at
// each of `drops`.
DroppedRun droppedDownload(const QString& file, const QString& target, quint64 hash,
                           const std::vector<qint64>& drops, bool ranges)
{
    DroppedRun run;
    QTcpServer portFinder;
    portFinder.listen(QHostAddress(QHostAddress::LocalHost), 0);
    const quint16 port = portFinder.serverPort();
    portFinder.close();
    QStringList args{QStringLiteral(QDT_RANGE_SERVER), file, QString::number(port)};
    if (!ranges)
        args << QStringLiteral("--no-ranges");
    for (qint64 at : drops)
        args << QStringLiteral("--drop") << QString::number(at);
    QProcess server;
    server.setProgram(QStringLiteral("python3"));
    server.setArguments(args);
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start();
    if (!server.waitForStarted(10000) || !waitForPort(port)) {
        run.error = QStringLiteral("range_server.py did not start");
        return run;
    }
    QFile::remove(target);
    DownloadLimits limits;
    // Short pauses: the figure is about bytes, not about waiting.
    limits.retryPausesMs = std::vector<int>(5, 100);
    QElapsedTimer clock;
    clock.start();
    bool done = false;
    FileDownloader downloader(
        QUrl(QStringLiteral("http://127.0.0.1:%1/patch.data").arg(port)), [](qint64, qint64) {},
        nullptr, limits, DownloadTarget{target, hash, std::nullopt});
    DownloadResult result;
    QObject::connect(&downloader, &FileDownloader::finished, [&](const DownloadResult& r) {
        result = r;
        done = true;
    });
    while (!done && clock.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    run.seconds = clock.nsecsElapsed() / 1e9;
    run.ok = result.ok;
    run.error = result.error;
    run.attempts = result.attempts;
    // Each answer's line is printed once the server has finished it.
    QThread::msleep(300);
    server.terminate();
    server.waitForFinished(5000);
    for (const QByteArray& line : server.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split(' ');
        if (fields.size() != 4)
            continue;
        run.statuses += (run.statuses.isEmpty() ? "" : " ") + fields[0];
        run.bodySent += fields[3].toLongLong();
    }
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 256;
    if (mib <= 0 || mib > 1024) {
        std::fprintf(stderr, "size must be 1..1024 MiB\n");
        return 2;
    }

    QTemporaryDir dir;
    {
        QFile file(dir.filePath(QStringLiteral("patch.data")));
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        const QByteArray block(1 << 20, 'p');
        for (qint64 i = 0; i < mib; ++i)
            file.write(block);
    }

    QTcpServer portFinder;
    portFinder.listen(QHostAddress(QHostAddress::LocalHost), 0);
    const quint16 port = portFinder.serverPort();
    portFinder.close();
    QProcess server;
    server.setProgram(QStringLiteral("python3"));
    server.setArguments({QStringLiteral("-m"), QStringLiteral("http.server"),
                         QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                         QStringLiteral("--directory"), dir.path(), QString::number(port)});
    server.setStandardOutputFile(QProcess::nullDevice());
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start();
    if (!server.waitForStarted(10000) || !waitForPort(port)) {
        std::fprintf(stderr, "python3 -m http.server did not start\n");
        return 1;
    }

    const QUrl url(QStringLiteral("http://127.0.0.1:%1/patch.data").arg(port));
    std::printf("body %lld MiB from %s\n", mib, url.toString().toUtf8().constData());
    const qint64 rssBefore = statusField("VmRSS:");
    for (int run = 1; run <= 3; ++run) {
        QElapsedTimer clock;
        clock.start();
        bool done = false;
        qint64 reports = 0;
        FileDownloader downloader(
            url, [&reports](qint64, qint64) { ++reports; }, nullptr);
        QObject::connect(&downloader, &FileDownloader::downloaded, [&done] { done = true; });
        while (!done && clock.elapsed() < 300000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        const double seconds = clock.nsecsElapsed() / 1e9;
        const qint64 size = downloader.downloadedData().size();
        std::printf("run %d: %s, %lld bytes in %.2f s = %.0f MiB/s, %lld progress reports\n", run,
                    downloader.succeeded() ? "ok" : downloader.errorString().toUtf8().constData(),
                    size, seconds, size / 1048576.0 / seconds, reports);
    }
    const qint64 peak = statusField("VmHWM:");
    std::printf("resident before %lld KiB, peak %lld KiB: %.2f bytes of memory per body byte\n",
                rssBefore, peak, (peak - rssBefore) * 1024.0 / (mib << 20));
    server.terminate();
    server.waitForFinished(5000);

    // A patch download into a file, its connection dropped at 20 %, 50 % and 80 %.
    const QString file = dir.filePath(QStringLiteral("patch.data"));
    quint64 hash = 0;
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return 1;
        const QByteArray all = f.readAll();
        hash = qdt::xxh64(all.constData(), static_cast<std::size_t>(all.size()));
    }
    const qint64 size = mib << 20;
    const std::vector<qint64> drops = {size / 5, size / 2, size * 4 / 5};
    for (bool ranges : {true, false}) {
        const DroppedRun run = droppedDownload(file, dir.filePath(QStringLiteral("patch_EN.data")),
                                               hash, drops, ranges);
        std::printf("dropped 3 times, %s: %s, %d attempts (answers %s), server sent %lld body "
                    "bytes = %.3f x the file, %.2f s\n",
                    ranges ? "server with byte ranges" : "server without byte ranges",
                    run.ok ? "ok" : run.error.toUtf8().constData(), run.attempts,
                    run.statuses.constData(), run.bodySent,
                    static_cast<double>(run.bodySent) / static_cast<double>(size), run.seconds);
    }
    return 0;
}
