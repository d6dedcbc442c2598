// Choosing between the cached and a downloaded patch, and storing downloads in the cache.
#include "distribution/PatchAcquisition.h"

#include <memory>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>

#include "app/Constants.h"
#include "app/Messages.h"
#include "app/QuenDaraTranslation.h"
#include "app/RunLog.h"
#include "core/FileIo.h"
#include "core/Xxh64.h"
#include "distribution/FileDownloader.h"
#include "distribution/Manifest.h"
#include "distribution/PatchCache.h"

double downloadSpeed(qint64 bytesReceived, qint64 elapsedNanoseconds)
{
    const double wholeSeconds = static_cast<double>(static_cast<qint64>(elapsedNanoseconds / 1e9));
    return static_cast<double>(bytesReceived) / 1024 / 1024 / qMax(wholeSeconds, 1.0);
}

QString downloadProgressFormat(double speed)
{
    return QCoreApplication::translate("QuenDaraTranslation",
                                       "Downloading the patch...%p% (%1 Mb/sec)")
        .arg(speed, 0, 'g', 3, QLatin1Char(' '));
}

QString downloadResumingFormat(int attempt, int attempts)
{
    return QCoreApplication::translate("QuenDaraTranslation",
                                       "Connection lost, resuming... (attempt %1 of %2)")
        .arg(attempt)
        .arg(attempts);
}

QString downloadBusyFormat(qint64 bytesReceived, double speed)
{
    return QCoreApplication::translate("QuenDaraTranslation",
                                       "Downloading the patch...%1 Mb (%2 Mb/sec)")
        .arg(static_cast<double>(bytesReceived) / 1024 / 1024, 0, 'f', 2)
        .arg(speed, 0, 'g', 3, QLatin1Char(' '));
}

namespace {

quint64 hashOf(const QByteArray& bytes)
{
    return qdt::xxh64(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

} // namespace

void QuenDaraTranslation::cancelPatchDownload()
{
    if (!patchDownloader)
        return;
    patchDownloader->cancel();
    patchDownloader->deleteLater();
    patchDownloader = nullptr;
    ui.progressBar->reset();
}

void QuenDaraTranslation::selectLanguage(Languages lang)
{
    refreshLanguageButtons(true);

    // The latest click wins: a patch still on its way for an earlier choice is not wanted any more
    // and must not be applied over this one.
    cancelPatchDownload();

    if (lang == languageOriginal) {
        applyPatch(languageOriginal, readPatchFile(languageOriginal));
        return;
    }
    if (lang < languageEnglish || lang > languageRussian) {
        refreshLanguageButtons(false);
        return;
    }

    const quint64 expected = publishedHash(manifest, lang);
    quint64& cached = patchHashes[static_cast<std::size_t>(lang)];
    if (keptCopyUsable(expected, cached, cached)) {
        const QByteArray bytes = readPatchFile(lang);
        // The file may have changed since it was hashed; an empty, unreadable or altered copy is
        // fetched again rather than applied or left hanging.
        if (!bytes.isEmpty() && keptCopyUsable(expected, cached, hashOf(bytes))) {
            runlog::write(QStringLiteral("language %1: the cached patch (hash %2) is used")
                              .arg(static_cast<int>(lang))
                              .arg(expected, 16, 16, QLatin1Char('0')));
            ui.progressBar->setFormat(tr("Downloading the patch...100%"));
            applyPatch(lang, bytes);
            return;
        }
        cached = 0;
    }

    const QUrl url = patchUrl(manifest, lang);
    if (url.isEmpty()) {
        // Not offered (no address, or not an http/https one): nothing to fetch.
        refreshLanguageButtons(false);
        return;
    }

    runlog::write(QStringLiteral("language %1: downloading %2 (published hash %3)")
                      .arg(static_cast<int>(lang))
                      .arg(url.toDisplayString())
                      .arg(expected, 16, 16, QLatin1Char('0')));
    QElapsedTimer clock;
    clock.start();
    ui.progressBar->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    ui.progressBar->setTextVisible(true);

    FileDownloader::Limits limits;
    limits.maxBytes = kMaxPatchBytes;
    QProgressBar* bar = ui.progressBar;
    // The speed counts what comes over the network now, not the bytes kept from before.
    auto self = std::make_shared<QPointer<FileDownloader>>();
    auto* downloader = new FileDownloader(
        url,
        [clock, bar, self](qint64 received, qint64 total) {
            const qint64 fresh = *self ? (*self)->bytesArrived() : received;
            if (total <= 0) {
                // The server did not say how much comes: the bar goes round as bytes arrive (a
                // turn per 1.6 MiB) and says how much has come and how fast. (A bar without a
                // range would hide its text in most styles.)
                bar->setRange(0, 100);
                bar->setValue(static_cast<int>((received >> 14) % 101));
                bar->setFormat(
                    downloadBusyFormat(received, downloadSpeed(fresh, clock.nsecsElapsed())));
                return;
            }
            bar->setMaximum(static_cast<int>(total));
            // Not only upwards: a file that changed on the server starts again from 0.
            if (static_cast<qint64>(bar->value()) != received) {
                bar->setValue(static_cast<int>(received));
                bar->setFormat(downloadProgressFormat(downloadSpeed(fresh, clock.nsecsElapsed())));
            }
        },
        this, limits, DownloadTarget{workDir + patchFileName(lang), expected});
    *self = downloader;
    patchDownloader = downloader;
    if (downloader->resumedFrom() > 0)
        runlog::write(QStringLiteral("language %1: continuing after %2 bytes kept from before")
                          .arg(static_cast<int>(lang))
                          .arg(downloader->resumedFrom()));
    connect(downloader, &FileDownloader::retrying, this,
            [bar, lang](int attempt, int attempts, qint64 kept, const QString& reason) {
                runlog::write(QStringLiteral("language %1: attempt %2 of %3 after %4 bytes: %5")
                                  .arg(static_cast<int>(lang))
                                  .arg(attempt)
                                  .arg(attempts)
                                  .arg(kept)
                                  .arg(reason));
                if (kept <= bar->maximum())
                    bar->setValue(static_cast<int>(kept));
                bar->setFormat(downloadResumingFormat(attempt, attempts));
            });
    QPointer<FileDownloader> guarded(downloader);
    connect(downloader, &FileDownloader::finished, downloader,
            [this, guarded, lang](const DownloadResult& result) {
                whenEngineIdle([this, guarded, lang, result] {
                    // Each completion belongs to its own downloader; one that was replaced (or
                    // cancelled while the engine worked) is only released.
                    if (!guarded)
                        return;
                    if (guarded != patchDownloader) {
                        guarded->deleteLater();
                        return;
                    }
                    patchDownloaded(lang, result);
                });
            });
}

void QuenDaraTranslation::patchDownloaded(Languages lang, const DownloadResult& result)
{
    FileDownloader* downloader = patchDownloader;
    patchDownloader = nullptr;
    if (!downloader || lang < languageEnglish || lang > languageRussian)
        return;
    const QByteArray& bytes = result.data;
    QString failure = result.error;
    if (result.ok && bytes.isEmpty())
        failure = tr("The server sent an empty file for %1.")
                      .arg(patchUrl(manifest, lang).toDisplayString());
    downloader->deleteLater();
    ui.progressBar->reset();
    runlog::write(QStringLiteral("language %1: download %2")
                      .arg(static_cast<int>(lang))
                      .arg(failure.isEmpty() ? QStringLiteral("done, %1 bytes, hash %2")
                                                   .arg(bytes.size())
                                                   .arg(hashOf(bytes), 16, 16, QLatin1Char('0'))
                                             : QStringLiteral("failed: ") + failure));

    if (!failure.isEmpty() && result.failure != DownloadFailure::Mismatch) {
        // The cached copy and its hash stay as they were; the player may simply try again.
        refreshLanguageButtons(false);
        // A disk that refuses the file is not the connection's fault; its text says what to do.
        showMessage(result.failure == DownloadFailure::Storage
                        ? tr("Downloading the patch failed.\n%1").arg(failure)
                        : tr("Downloading the patch failed.\n%1\nPlease check your connection "
                             "and try again.")
                              .arg(failure));
        return;
    }

    // Only the file the manifest announces is cached and applied: a damaged or swapped file is a
    // failed download, and the copy cached before stays.
    const quint64 published = publishedHash(manifest, lang);
    if (result.failure == DownloadFailure::Mismatch ||
        (published != 0 && hashOf(bytes) != published)) {
        refreshLanguageButtons(false);
        showMessage(tr("Downloading the patch failed.\nThe file from %1 is not the one the "
                       "server announced (its hash differs), so it was not used. Please try "
                       "again later.")
                        .arg(patchUrl(manifest, lang).toDisplayString()));
        return;
    }

    // The downloader has put the checked file in place itself.
    bool stored = !result.savedTo.isEmpty();
    if (!stored)
        stored = qdt::writeFileAtomically(
                     qdt::pathFromUtf8((workDir + patchFileName(lang)).toUtf8().toStdString()),
                     bytes.constData(), static_cast<std::size_t>(bytes.size()))
                     .ok();
    // Only a copy that is really on disk may count as cached later.
    patchHashes[static_cast<std::size_t>(lang)] = stored ? hashOf(bytes) : 0;
    applyPatch(lang, bytes);
}
