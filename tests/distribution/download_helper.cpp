// A program of its own that downloads one file through FileDownloader into a file, for tests that
// end it from outside (killed at any moment), or give it a disk that fills up, and then see what
// the next downloader makes of what it left. Bounded: it gives up after a minute. The outcome's
// text goes to the error output.
//
//   qdt_download_helper URL FINAL_PATH PUBLISHED_HASH_HEX
//   QDT_HELPER_FILE_LIMIT=BYTES: no file of this process grows beyond BYTES (Linux), as on a full
//   disk
#include <cstdio>
#include <cstdlib>

#ifdef __linux__
#include <csignal>
#include <sys/resource.h>
#endif

#include <QCoreApplication>
#include <QTimer>
#include <QUrl>

#include "distribution/FileDownloader.h"

int main(int argc, char** argv)
{
#ifdef __linux__
    if (const char* limit = std::getenv("QDT_HELPER_FILE_LIMIT")) {
        // A write past the limit then fails with an error instead of ending the process.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlim_t bytes = std::strtoull(limit, nullptr, 10);
        const rlimit r{bytes, bytes};
        setrlimit(RLIMIT_FSIZE, &r);
    }
#endif
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
        nullptr, DownloadLimits(), DownloadTarget{args[2], published, std::nullopt});
    QObject::connect(&downloader, &FileDownloader::finished, [&](const DownloadResult& r) {
        exitCode = r.ok ? 0 : 1;
        std::fprintf(stderr, "%s\n", r.ok ? "ok" : r.error.toUtf8().constData());
        app.quit();
    });
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    app.exec();
    return exitCode;
}
