// A program of its own that downloads one file through FileDownloader into a file, for tests that
// end it from outside (killed at any moment) and then see what the next downloader makes of what
// it left. Bounded: it gives up after a minute.
//
//   qdt_download_helper URL FINAL_PATH PUBLISHED_HASH_HEX
#include <cstdio>

#include <QCoreApplication>
#include <QTimer>
#include <QUrl>

#include "distribution/FileDownloader.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: qdt_download_helper URL FINAL_PATH PUBLISHED_HASH_HEX\n");
        return 2;
    }
    bool hashOk = false;
    const quint64 published = args[3].toULongLong(&hashOk, 16);
    if (!hashOk)
        return 2;
    int exitCode = 1;
    FileDownloader downloader(
        QUrl(args[1]),
        [](qint64 received, qint64 total) {
            std::printf("%lld %lld\n", static_cast<long long>(received),
                        static_cast<long long>(total));
            std::fflush(stdout);
        },
        nullptr, DownloadLimits(), DownloadTarget{args[2], published});
    QObject::connect(&downloader, &FileDownloader::finished, [&](const DownloadResult& r) {
        exitCode = r.ok ? 0 : 1;
        app.quit();
    });
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    app.exec();
    return exitCode;
}
