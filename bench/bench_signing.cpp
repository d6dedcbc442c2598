// What the checks of a signed release cost: a patch download into the cache from a local server
// with and without the SHA-256 check (interleaved rounds, medians), the two hash passes alone
// over the patch in memory, and the signature check of a manifest.
//
//   bench_signing [MiB]   (default 1024, the largest patch the program accepts)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include "core/ReleaseCrypto.h"
#include "core/SignedRelease.h"
#include "core/Xxh64.h"
#include "distribution/FileDownloader.h"

namespace {

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

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One download of the patch into `target`, checked as the program checks it; seconds, or -1.
double download(const QUrl& url, const QString& target, const DownloadTarget& check)
{
    QFile::remove(target);
    QElapsedTimer clock;
    clock.start();
    bool done = false;
    DownloadResult result;
    DownloadLimits limits;
    limits.maxBytes = 1LL << 30;
    DownloadTarget into = check;
    into.finalPath = target;
    FileDownloader downloader(
        url, [](qint64, qint64) {}, nullptr, limits, into);
    QObject::connect(&downloader, &FileDownloader::finished, [&](const DownloadResult& r) {
        result = r;
        done = true;
    });
    while (!done && clock.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (!result.ok) {
        std::fprintf(stderr, "download failed: %s\n", result.error.toUtf8().constData());
        return -1;
    }
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    if (mib <= 0 || mib > 1024) {
        std::fprintf(stderr, "size must be 1..1024 MiB\n");
        return 2;
    }
    QTemporaryDir dir;
    QTemporaryDir served;
    const QString patchPath = served.filePath(QStringLiteral("patch.data"));
    QByteArray patch(static_cast<int>(std::min<qint64>(mib << 20, 0x7fffffff)), '\0');
    {
        std::mt19937_64 random(7);
        for (int i = 0; i + 8 <= patch.size(); i += 8) {
            const std::uint64_t v = random();
            std::memcpy(patch.data() + i, &v, 8);
        }
        QFile file(patchPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(patch) != patch.size())
            return 1;
    }
    const auto size = static_cast<std::size_t>(patch.size());

    // The hash passes alone, in memory.
    std::vector<double> xxhTimes, shaTimes;
    std::uint64_t xxh = 0;
    qdt::Sha256Digest digest{};
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer clock;
        clock.start();
        xxh = qdt::xxh64(patch.constData(), size);
        xxhTimes.push_back(clock.nsecsElapsed() / 1e9);
        clock.restart();
        digest = qdt::sha256(patch.constData(), size);
        shaTimes.push_back(clock.nsecsElapsed() / 1e9);
    }
    std::printf("patch of %lld MiB in memory: XXH64 %.3f s (%.0f MiB/s), SHA-256 %.3f s "
                "(%.0f MiB/s)\n",
                mib, median(xxhTimes), mib / median(xxhTimes), median(shaTimes),
                mib / median(shaTimes));

    // A manifest's signature.
    auto key = qdt::SecretKey::generate();
    const std::string manifest(2048, 'm');
    const auto signature =
        key.value.sign(reinterpret_cast<const unsigned char*>(manifest.data()), manifest.size());
    {
        QElapsedTimer clock;
        clock.start();
        int verified = 0;
        for (int i = 0; i < 1000; ++i)
            verified += qdt::verifySignature(
                key.value.publicKey(), reinterpret_cast<const unsigned char*>(manifest.data()),
                manifest.size(), signature.value.data(), signature.value.size());
        std::printf("Ed25519 check of a 2 KiB manifest: %.1f us (%d of 1000 verified)\n",
                    clock.nsecsElapsed() / 1e3 / 1000, verified);
    }
    patch = QByteArray();

    QTcpServer portFinder;
    portFinder.listen(QHostAddress(QHostAddress::LocalHost), 0);
    const quint16 port = portFinder.serverPort();
    portFinder.close();
    QProcess server;
    server.setProgram(QStringLiteral("python3"));
    server.setArguments({QStringLiteral("-m"), QStringLiteral("http.server"),
                         QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                         QStringLiteral("--directory"), served.path(), QString::number(port)});
    server.setStandardOutputFile(QProcess::nullDevice());
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start();
    if (!server.waitForStarted(10000) || !waitForPort(port)) {
        std::fprintf(stderr, "python3 -m http.server did not start\n");
        return 1;
    }
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/patch.data").arg(port));
    const QString target = dir.filePath(QStringLiteral("patch_EN.data"));
    std::vector<double> plain, signedTimes;
    for (int round = 0; round < 3; ++round) {
        const double a = download(url, target, DownloadTarget{QString(), xxh, std::nullopt});
        const double b = download(url, target, DownloadTarget{QString(), xxh, digest});
        if (a < 0 || b < 0)
            return 1;
        plain.push_back(a);
        signedTimes.push_back(b);
        std::printf("round %d: download into the cache %.2f s with XXH64 only, %.2f s with "
                    "SHA-256 too\n",
                    round + 1, a, b);
    }
    std::printf("median: %.2f s against %.2f s: the SHA-256 check adds %.2f s (%.0f %%) to a "
                "%lld MiB download from 127.0.0.1\n",
                median(signedTimes), median(plain), median(signedTimes) - median(plain),
                100.0 * (median(signedTimes) - median(plain)) / median(plain), mib);
    server.terminate();
    server.waitForFinished(5000);
    return 0;
}
