// Game folder validation: the archive probe and the reconciliation of the patch cache.
#include <filesystem>
#include <string>
#include <system_error>

#include <QMessageBox>

#include "app/Constants.h"
#include "app/Messages.h"
#include "app/QuenDaraTranslation.h"
#include "app/RunLog.h"
#include "core/ArchivePath.h"
#include "core/FileIo.h"
#include "core/FileUsers.h"
#include "core/Xxh64.h"
#include "distribution/Manifest.h"
#include "distribution/PatchCache.h"
#include "distribution/PatchSource.h"
#include "game/GameDiscovery.h"
#include "game/platform/NativePath.h"
#include "patching/PatchEngine.h"
#include "patching/PatchFormat.h"
#include "patching/WindowPatching.h"

QString QuenDaraTranslation::gameFolderProblem(bool* inUse) const
{
    const std::string folder = qdt::contentFolder(gamePath.toStdString());
    const std::filesystem::path archive = archiveFile();

    // Only a probe: an archive that exists but cannot be opened for writing cannot be patched.
    // Opening never creates the file, so a wrong folder gets no empty "data.lpk" put into it.
    // The handle is released at once: an open archive would stand in the way of a rollback.
    const qdt::Status probe = qdt::openFile(archive, qdt::FileMode::ReadWrite).status;
    if (inUse)
        *inUse = probe.kind == qdt::ErrorKind::InUse;
    if (probe)
        return QString();
    // A missing archive and a missing game content folder look the same to the player: the
    // folder is not the game's (or the game has moved).
    if (probe.kind == qdt::ErrorKind::NotFound)
        return tr("Could not find the game archive data.lpk in that folder:") + QLatin1Char('\n') +
               QString::fromStdString(folder) + QLatin1Char('\n') +
               tr("Please check the game folder.");
    // At start-up the holder is nearly always the launcher, updating or checking the game.
    if (probe.kind == qdt::ErrorKind::InUse)
        return QString::fromStdString(
                   qdt::anotherProgramUses(archive, "the game files in " + folder)) +
               QLatin1Char('\n') + tr("The launcher may be updating or checking the game.") +
               QLatin1Char('\n') +
               tr("Please wait until it has finished and start Quen Dara Translation again.") +
               QLatin1Char('\n') + tr("The game files were not changed.");
    return tr("Could not change game files in that folder:") + QLatin1Char('\n') +
           QString::fromStdString(folder) + QLatin1Char('\n') +
           tr("Please check if you are an Administrator on this computer.");
}

void QuenDaraTranslation::validateGameFolder()
{
    bool inUse = false;
    const QString problem = gameFolderProblem(&inUse);
    if (problem.isEmpty()) {
        reconcileGameFolder();
        return;
    }
    // The registry may name a folder the game has left (moved to another drive, reinstalled
    // elsewhere); the folder this program last worked with may still be right.
    const QString saved = loadSavedGamePath();
    if (!saved.isEmpty() && saved != gamePath) {
        const QString first = gamePath;
        gamePath = saved;
        if (gameFolderProblem().isEmpty()) {
            runlog::write(QStringLiteral("game folder %1 can't be used, the saved one is: %2")
                              .arg(first, problem));
            ui.lineEditGameFolder->setText(gamePath);
            reconcileGameFolder();
            return;
        }
        gamePath = first;
    }
    // No dead end: the window stays, Find game and Browse can name another folder, and the
    // languages wait until one can be used.
    showMessage(inUse ? problem
                      : problem + QLatin1Char('\n') +
                            tr("You can choose the game folder with Find game or Browse."));
    refreshLanguageButtons(true);
}

bool QuenDaraTranslation::takeGameFolder(const QString& chosen, const QString& notFound)
{
    const QString previous = gamePath;
    gamePath = chosen;
    QString problem = chosen.isEmpty() ? notFound : gameFolderProblem();
    if (!problem.isEmpty()) {
        // The window stays, with the folder it had: the player may try another one.
        gamePath = previous;
        ui.lineEditGameFolder->setText(previous);
        if (!previous.isEmpty())
            problem += QLatin1Char('\n') + tr("The game folder stays %1.").arg(previous);
        showMessage(problem);
        return false;
    }
    ui.lineEditGameFolder->setText(gamePath);
    saveGamePath(gamePath);
    reconcileGameFolder();
    return true;
}

void QuenDaraTranslation::reconcileGameFolder()
{
    // Until the manifest is here every published hash reads as none, which would roll back an
    // applied translation: its arrival validates the folder instead.
    if (manifestDownloader)
        return;
    const std::filesystem::path archive = archiveFile();

    // A patcher stopped while it wrote (a crash, a power cut) left an archive-sized temporary
    // file beside the archive, or an archive half written in place: both are settled now, before
    // the archive is looked at, not only at the next patching.
    runlog::write(QStringLiteral("game folder %1").arg(gamePath));
    const qdt::RecoveryReport recovered = qdt::recoverKilledRun(
        archive, qdt::pathFromUtf8(QString(workDir + QStringLiteral("data.lpk")).toStdString()),
        qdt::pathFromUtf8(QString(workDir + patchFileName(languageOriginal)).toStdString()));
    if (recovered.outcome != qdt::RecoveryReport::Outcome::Nothing) {
        showMessage(QString::fromStdString(recovered.message));
    }

    // The archive is read and hashed once for the whole pass, and not again while it stays the
    // file it was read from (a rollback remembers what it wrote).
    auto known = archiveHash.hash(archive);
    Languages detected = languageOriginal;
    for (Languages lang : {languageEnglish, languageEnglishMachine, languageRussian}) {
        const QByteArray patch = readPatchFile(lang);
        quint64& hash = patchHashes[static_cast<std::size_t>(lang)];
        hash = qdt::xxh64(patch.constData(), static_cast<std::size_t>(patch.size()));
        // A copy that a signed release does not name by its SHA-256 is not the published one.
        if (hash == publishedHash(manifest, lang) && !matchesPublishedDigest(manifest, lang, patch))
            hash = 0;
        const KeptPatchVerdict verdict = judgeKeptPatch(
            hash, publishedHash(manifest, lang), known && archiveHoldsResultOf(patch, known.value));
        if (!verdict.usable)
            hash = 0;
        if (verdict.applied) {
            detected = lang;
        } else if (verdict.rollBack) {
            // The applied translation is no longer the published one: back to the original. When
            // that fails the archive stays translated, and the window says so and keeps showing
            // it, so that a later restore (or the one on close) still runs.
            detected = lang;
            cancelPatchDownload();
            if (restoreOriginal(lang) != RestoreOutcome::Failed)
                detected = languageOriginal;
            else
                showMessage(tr("The translation in the game files is out of date, and it could "
                               "not be removed, so it stays applied."));
            known = archiveHash.hash(archive);
        }
    }
    // An archive that none of the published translations we hold was made for (nor is one of
    // them): the game was updated, most likely. Said once, not at every validation.
    if (detected == languageOriginal && known && !toldArchiveDoesNotFit) {
        bool anyPublished = false;
        bool fits = false;
        for (Languages lang : {languageEnglish, languageEnglishMachine, languageRussian}) {
            if (patchHashes[static_cast<std::size_t>(lang)] == 0)
                continue;
            const QByteArray patch = readPatchFile(lang);
            const auto header =
                qdt::readPatchHeader(reinterpret_cast<const unsigned char*>(patch.constData()),
                                     static_cast<std::size_t>(patch.size()));
            if (!header)
                continue;
            anyPublished = true;
            fits = fits || header.value.sourceHash == known.value ||
                   header.value.resultHash == known.value;
        }
        if (anyPublished && !fits) {
            toldArchiveDoesNotFit = true;
            showMessage(tr("The game files are different from the ones the published "
                           "translations were made for.") +
                        QLatin1Char('\n') + archiveDoesNotFitText());
        }
    }
    dropStalePartialDownloads(manifest, workDir);
    currentLanguage = detected;
    refreshLanguageButtons(false);
}
