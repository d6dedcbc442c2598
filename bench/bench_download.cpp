// Download figures for FileDownloader: throughput from a local server and the peak memory the
// client needs per byte of body. The server is Python's http.server in its own process, so the
// memory figures are the downloader's alone.
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
    return 0;
}
