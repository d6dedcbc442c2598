// The window's patch acquisition: a language's choice, its download and the kept copies.
#include <memory>

#include <QElapsedTimer>
#include <QPointer>

#include "app/Constants.h"
#include "app/Messages.h"
#include "app/QuenDaraTranslation.h"
#include "app/RunLog.h"
#include "distribution/FileDownloader.h"
#include "distribution/Manifest.h"
#include "distribution/PatchSource.h"

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
        if (restoreOriginal(currentLanguage) == RestoreOutcome::NotOurs)
            showMessage(tr("The translation is no longer in the game files: another program "
                           "changed them since it was applied (most likely the launcher updated "
                           "or repaired the game).\nThe game files were left as they are."));
        return;
    }
    if (lang < languageEnglish || lang > languageRussian) {
        refreshLanguageButtons(false);
        return;
    }

    quint64& known = patchHashes[static_cast<std::size_t>(lang)];
    const PatchChoice choice = choosePatch(lang, manifest, known, workDir);
    known = choice.knownHash;
    const QString published = QStringLiteral("%1").arg(choice.published, 16, 16, QLatin1Char('0'));
    switch (choice.source) {
    case PatchChoice::Source::Kept:
        runlog::write(QStringLiteral("language %1: the cached patch (hash %2) is used")
                          .arg(static_cast<int>(lang))
                          .arg(published));
        ui.progressBar->setFormat(tr("Downloading the patch...100%"));
        applyPatch(lang, choice.bytes);
        return;
    case PatchChoice::Source::NotOffered:
        // No address, or not an http/https one: nothing to fetch.
        refreshLanguageButtons(false);
        return;
    case PatchChoice::Source::Download:
        break;
    }

    runlog::write(QStringLiteral("language %1: downloading %2 (published hash %3)")
                      .arg(static_cast<int>(lang))
                      .arg(choice.url.toDisplayString())
                      .arg(published));
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
        choice.url,
        [clock, bar, self](qint64 received, qint64 total) {
            const qint64 arrived = *self ? (*self)->bytesArrived() : received;
            const DownloadProgressView view =
                downloadProgressView(received, total, arrived, clock.nsecsElapsed(), bar->value());
            bar->setRange(0, view.maximum);
            if (view.update) {
                bar->setValue(view.value);
                bar->setFormat(view.format);
            }
        },
        this, limits,
        DownloadTarget{workDir + patchFileName(lang), choice.published,
                       publishedDigest(manifest, lang)});
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
    downloader->deleteLater();
    ui.progressBar->reset();

    const QUrl url = patchUrl(manifest, lang);
    const PatchDownloadVerdict verdict = judgePatchDownload(result, publishedHash(manifest, lang),
                                                            publishedDigest(manifest, lang), url);
    runlog::write(QStringLiteral("language %1: download %2")
                      .arg(static_cast<int>(lang))
                      .arg(verdict.kind == PatchDownloadVerdict::Kind::Usable ||
                                   verdict.kind == PatchDownloadVerdict::Kind::NotAnnounced
                               ? QStringLiteral("done, %1 bytes, hash %2")
                                     .arg(result.data.size())
                                     .arg(verdict.hash, 16, 16, QLatin1Char('0'))
                               : QStringLiteral("failed: ") +
                                     (result.error.isEmpty() ? verdict.detail : result.error)));
    // Whatever failed, the kept copy and its hash stay as they were; the player may try again.
    // What to do depends on who failed: only a broken line is the player's to check.
    QString failure;
    switch (verdict.kind) {
    case PatchDownloadVerdict::Kind::NotStored:
        // A disk that refuses the file is not the connection's fault; the detail says what to do.
        failure = tr("Downloading the patch failed.\n%1").arg(verdict.detail);
        break;
    case PatchDownloadVerdict::Kind::Failed:
        failure =
            tr("Downloading the patch failed.\n%1\nPlease check your connection and try again.")
                .arg(verdict.detail);
        break;
    case PatchDownloadVerdict::Kind::Refused:
        failure = tr("Downloading the patch failed.\n%1\nPlease try again later; if it goes on, "
                     "tell the translators.")
                      .arg(verdict.detail);
        break;
    case PatchDownloadVerdict::Kind::NoProgress:
        failure = tr("Downloading the patch failed.\n%1\nPlease try again later, or check your "
                     "connection.")
                      .arg(verdict.detail);
        break;
    case PatchDownloadVerdict::Kind::NotAnnounced:
        // A damaged or swapped file is a failed download.
        failure = tr("Downloading the patch failed.\nThe file from %1 is not the one the server "
                     "announced (its hash differs), so it was not used.\nPlease try again later; "
                     "if it goes on, tell the translators.")
                      .arg(url.toDisplayString());
        break;
    case PatchDownloadVerdict::Kind::Usable:
        break;
    }
    if (!failure.isEmpty()) {
        refreshLanguageButtons(false);
        showMessage(failure);
        return;
    }
    // A download into a file is in its place already, checked; one kept in memory is stored now.
    patchHashes[static_cast<std::size_t>(lang)] =
        result.savedTo.isEmpty() ? keepPatch(lang, result.data, workDir) : verdict.hash;
    applyPatch(lang, result.data);
}
