// The window's patch acquisition: a language's choice, its download and the kept copies.
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
        applyPatch(languageOriginal, readPatchFile(languageOriginal));
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
    auto* downloader = new FileDownloader(
        choice.url,
        [clock, bar](qint64 received, qint64 total) {
            const DownloadProgressView view =
                downloadProgressView(received, total, clock.nsecsElapsed(), bar->value());
            bar->setRange(0, view.maximum);
            if (view.update) {
                bar->setValue(view.value);
                bar->setFormat(view.format);
            }
        },
        this, limits);
    patchDownloader = downloader;
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
    const PatchDownloadVerdict verdict =
        judgePatchDownload(result, publishedHash(manifest, lang), url);
    runlog::write(QStringLiteral("language %1: download %2")
                      .arg(static_cast<int>(lang))
                      .arg(verdict.kind == PatchDownloadVerdict::Kind::Failed
                               ? QStringLiteral("failed: ") + verdict.detail
                               : QStringLiteral("done, %1 bytes, hash %2")
                                     .arg(result.data.size())
                                     .arg(verdict.hash, 16, 16, QLatin1Char('0'))));
    switch (verdict.kind) {
    case PatchDownloadVerdict::Kind::Failed:
        // The kept copy and its hash stay as they were; the player may simply try again.
        refreshLanguageButtons(false);
        showMessage(
            tr("Downloading the patch failed.\n%1\nPlease check your connection and try again.")
                .arg(verdict.detail));
        return;
    case PatchDownloadVerdict::Kind::NotAnnounced:
        // A damaged or swapped file is a failed download, and the copy kept before stays.
        refreshLanguageButtons(false);
        showMessage(tr("Downloading the patch failed.\nThe file from %1 is not the one the "
                       "server announced (its hash differs), so it was not used. Please try "
                       "again later.")
                        .arg(url.toDisplayString()));
        return;
    case PatchDownloadVerdict::Kind::Usable:
        break;
    }
    patchHashes[static_cast<std::size_t>(lang)] = keepPatch(lang, result.data, workDir);
    applyPatch(lang, result.data);
}
