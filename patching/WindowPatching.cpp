// The window's side of patching: derives the paths, runs the engine and shows the outcome in the
// progress bar and in message boxes.
#include "patching/WindowPatching.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>

#include "app/Constants.h"
#include "app/Messages.h"
#include "app/QuenDaraTranslation.h"
#include "app/RunLog.h"
#include "core/ArchivePath.h"
#include "core/FileCopy.h"
#include "core/FileIo.h"
#include "game/platform/NativePath.h"
#include "patching/PatchEngine.h"
#include "patching/PatchFormat.h"

namespace {

// The progress bar runs 0..kProgressSteps while the engine works and 0..1 for the outcome.
constexpr int kProgressSteps = 1000;

std::filesystem::path workFile(const QString& name)
{
    return qdt::pathFromUtf8(QString(workDir + name).toStdString());
}

QString detailOf(const qdt::Status& status)
{
    return QString::fromStdString(status.detail);
}

} // namespace

QString archiveDoesNotFitText()
{
    return QCoreApplication::translate(
        "QuenDaraTranslation",
        "The game was most likely updated (or repaired, or changed by another program) since "
        "the translation was made.\nThe translation will be offered again once the translators "
        "publish it for this version of the game.\nThe game stays as it is.");
}

namespace {

QString failureText(const qdt::Status& status, Languages lang)
{
    using qdt::ErrorKind;
    switch (status.kind) {
    case ErrorKind::AccessDenied:
        return QStringLiteral("Can't change game files, access denied.");
    case ErrorKind::InUse:
        return QStringLiteral("Another program is using the game files, so they were not "
                              "changed.\nClose it and try again.\n") +
               detailOf(status);
    case ErrorKind::NoSpace:
        return QStringLiteral("Not enough free space for patching.\nThe game files were not "
                              "changed.\n") +
               detailOf(status);
    case ErrorKind::LeftDamaged:
        return QStringLiteral("Patching stopped half-way and the game files could not be put "
                              "right.\n") +
               detailOf(status);
    case ErrorKind::SourceMismatch:
        return QStringLiteral("Game files are different from expected, can't apply the patch.\n") +
               archiveDoesNotFitText();
    case ErrorKind::BadMagic:
        if (lang == languageOriginal)
            return QStringLiteral("Can't restore the original game files: the reverse patch "
                                  "patch_KR.data is missing or is not a patch file.");
        return QStringLiteral("Can't apply the patch: the file is not a patch file.");
    case ErrorKind::Malformed:
        return QStringLiteral("Can't apply the patch, it is damaged.\nThe game files were not "
                              "changed.\n") +
               detailOf(status);
    case ErrorKind::ResultMismatch:
        return QStringLiteral(
            "Can't apply the patch: the result would not be what the patch "
            "promises, so the patch is damaged.\nThe game files were not changed.");
    case ErrorKind::NotFound:
    case ErrorKind::ReadFailed:
        return QStringLiteral("Can't read the game files.\n") + detailOf(status);
    case ErrorKind::BackupFailed:
        return QStringLiteral("Can't make the backup copy of the game files.\nThe game files were "
                              "not changed.\n") +
               detailOf(status);
    case ErrorKind::WriteFailed:
        return QStringLiteral("Can't write the patched game files (is the disk full?).\nThe game "
                              "files were not changed.\n") +
               detailOf(status);
    default:
        return QStringLiteral("Can't apply the patch.\nThe game files were not changed.\n") +
               detailOf(status);
    }
}

} // namespace

bool copyFile(const QString& source, const QString& destination)
{
    return qdt::copyFileAtomically(qdt::pathFromUtf8(source.toStdString()),
                                   qdt::pathFromUtf8(destination.toStdString()))
        .ok();
}

bool QuenDaraTranslation::applyPatch(Languages lang, const QByteArray& patch)
{
    // A translation always starts from the original, so a different one is undone first. When
    // that fails the player has been told why, and the new translation is not tried on top.
    if (lang != languageOriginal && currentLanguage != languageOriginal &&
        restoreOriginal(currentLanguage) == RestoreOutcome::Failed) {
        ui.progressBar->setRange(0, 1);
        ui.progressBar->setValue(0);
        ui.progressBar->setFormat(tr("Applying patch...fail!"));
        refreshLanguageButtons(false);
        return false;
    }
    return showEngineOutcome(lang, runEngine(lang, patch));
}

qdt::Status QuenDaraTranslation::runEngine(Languages lang, const QByteArray& patch)
{
    ui.progressBar->setRange(0, kProgressSteps);
    ui.progressBar->reset();
    ui.progressBar->setFormat(tr("Applying patch... %p%"));

    qdt::ApplyRequest request;
    request.archive = archiveFile();
    request.patch = reinterpret_cast<const unsigned char*>(patch.constData());
    request.patchSize = static_cast<std::size_t>(patch.size());

    // What the folder validation (or our own last write) learnt about the archive holds while it
    // is still that file: a patch made for another archive is refused at once, without copying
    // 2 GiB first to find out.
    const auto header = qdt::readPatchHeader(request.patch, request.patchSize);
    if (header) {
        if (const auto known = archiveHash.known(request.archive);
            known && *known != header.value.sourceHash) {
            runlog::write(QStringLiteral("language %1: refused at once, the archive (hash %2) is "
                                         "not the patch's source (%3)")
                              .arg(static_cast<int>(lang))
                              .arg(*known, 16, 16, QLatin1Char('0'))
                              .arg(header.value.sourceHash, 16, 16, QLatin1Char('0')));
            return qdt::Status::failure(
                qdt::ErrorKind::SourceMismatch,
                qdt::displayPath(request.archive) +
                    " is different from the archive this patch was made for");
        }
    }

    request.content =
        lang == languageOriginal ? qdt::ResultContent::Original : qdt::ResultContent::Translation;
    if (lang != languageOriginal) {
        request.backup = workFile(QStringLiteral("data.lpk"));
        request.reversePatch = workFile(patchFileName(languageOriginal));
    }
    // At most one repaint per per-cent of the work: the bar moves and the window stays drawn,
    // while the engine is not slowed down by event processing.
    int shown = 0;
    request.progress = [this, &shown](std::uint64_t done, std::uint64_t total) {
        if (total == 0)
            return;
        const int value = static_cast<int>(done * kProgressSteps / total);
        if (value - shown < kProgressSteps / 100)
            return;
        shown = value;
        ui.progressBar->setValue(value);
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    };

    QElapsedTimer took;
    took.start();
    engineRunning = true;
    const qdt::Status status = qdt::applyPatchToArchive(request);
    engineRunning = false;
    if (status.ok() && header) {
        archiveHash.remember(request.archive, header.value.resultHash);
        writtenTranslation = lang == languageOriginal ? 0 : header.value.resultHash;
    } else if (!status.ok() && status.kind != qdt::ErrorKind::SourceMismatch)
        archiveHash.forget();
    runlog::write(
        QStringLiteral("language %1: the engine %2 in %3 s (%4)")
            .arg(static_cast<int>(lang))
            .arg(status.ok()
                     ? QStringLiteral("applied the patch")
                     : QStringLiteral("refused (kind %1)").arg(static_cast<int>(status.kind)))
            .arg(static_cast<double>(took.elapsed()) / 1000.0, 0, 'f', 2)
            .arg(QString::fromStdString(status.ok() ? qdt::displayPath(request.archive)
                                                    : status.detail)));
    if (!afterEngine.empty() || closeAfterEngine) {
        // What came in while the engine worked runs once control is back in the event loop.
        QTimer::singleShot(0, this, [this] {
            auto work = std::move(afterEngine);
            afterEngine.clear();
            for (auto& w : work)
                w();
            if (closeAfterEngine && !engineRunning) {
                closeAfterEngine = false;
                close();
            }
        });
    }
    return status;
}

bool QuenDaraTranslation::showEngineOutcome(Languages lang, const qdt::Status& status)
{
    ui.progressBar->setRange(0, 1);
    if (status.ok()) {
        currentLanguage = lang;
        refreshLanguageButtons(false);
        ui.progressBar->setValue(1);
        ui.progressBar->setFormat(tr("Applying patch...success!"));
        return true;
    }
    ui.progressBar->setValue(1);
    showMessage(failureText(status, lang));
    ui.progressBar->setValue(0);
    ui.progressBar->setFormat(tr("Applying patch...fail!"));
    // The archive is only ever replaced whole, by a verified content, so a failed application has
    // not changed it: there is nothing to copy back from the backup, and the player may simply
    // try again.
    refreshLanguageButtons(false);
    return false;
}

QuenDaraTranslation::RestoreOutcome QuenDaraTranslation::restoreOriginal(Languages applied)
{
    const std::filesystem::path archive = archiveFile();
    const auto hash = archiveHash.hash(archive);
    const auto settle = [this](RestoreOutcome outcome, const QString& why) {
        runlog::write(QStringLiteral("restoring the original: ") + why);
        currentLanguage = languageOriginal;
        refreshLanguageButtons(false);
        return outcome;
    };
    if (!hash) {
        if (hash.status.kind == qdt::ErrorKind::NotFound)
            return settle(RestoreOutcome::NotOurs,
                          QStringLiteral("the archive is gone (%1)")
                              .arg(QString::fromStdString(hash.status.detail)));
        showMessage(QCoreApplication::translate("QuenDaraTranslation",
                                                "Can't read the game files, so the original "
                                                "could not be restored.\n%1")
                        .arg(QString::fromStdString(hash.status.detail)));
        return RestoreOutcome::Failed;
    }
    const auto headerOf = [](const QByteArray& bytes) {
        return qdt::readPatchHeader(reinterpret_cast<const unsigned char*>(bytes.constData()),
                                    static_cast<std::size_t>(bytes.size()));
    };
    const QByteArray reverse = readPatchFile(languageOriginal);
    const auto reverseHeader = headerOf(reverse);
    const QByteArray forward = applied >= languageEnglish && applied <= languageRussian
                                   ? readPatchFile(applied)
                                   : QByteArray();
    const auto forwardHeader = headerOf(forward);

    const bool reverseFits = reverseHeader && reverseHeader.value.sourceHash == hash.value;
    if (reverseFits) {
        const qdt::Status status = runEngine(languageOriginal, reverse);
        // A reverse patch that is damaged inside still has the backup to fall back on.
        const bool damaged = status.kind == qdt::ErrorKind::Malformed ||
                             status.kind == qdt::ErrorKind::ResultMismatch;
        if (!damaged || !forwardHeader || forwardHeader.value.resultHash != hash.value)
            return showEngineOutcome(languageOriginal, status) ? RestoreOutcome::Restored
                                                               : RestoreOutcome::Failed;
        runlog::write(QStringLiteral("restoring the original: the reverse patch is damaged (%1)")
                          .arg(QString::fromStdString(status.detail)));
    }
    const bool forwardFits = forwardHeader && forwardHeader.value.resultHash == hash.value;
    if (forwardFits || (writtenTranslation != 0 && writtenTranslation == hash.value)) {
        // Our translation is in the archive, and its reverse patch is missing or damaged (an
        // antivirus, a cleaner, a disk error). The backup copy of the original gives it back.
        const auto rebuilt =
            forwardFits ? qdt::rebuildReversePatch(
                              reinterpret_cast<const unsigned char*>(forward.constData()),
                              static_cast<std::size_t>(forward.size()),
                              workFile(QStringLiteral("data.lpk")))
                        : qdt::Result<std::vector<unsigned char>>::failure(
                              qdt::ErrorKind::NotFound, "the kept translation patch is gone too");
        if (!rebuilt) {
            runlog::write(QStringLiteral("restoring the original: no way back: %1")
                              .arg(QString::fromStdString(rebuilt.status.detail)));
            ui.progressBar->setRange(0, 1);
            ui.progressBar->setValue(0);
            ui.progressBar->setFormat(tr("Applying patch...fail!"));
            refreshLanguageButtons(false);
            showMessage(QCoreApplication::translate(
                "QuenDaraTranslation",
                "The original game files can't be restored: the reverse patch patch_KR.data is "
                "missing or damaged, and there is no backup copy of the original to take its "
                "place.\nThe translation stays in the game.\nTo get the original game back, "
                "repair the game files with the ORBEX launcher."));
            return RestoreOutcome::Failed;
        }
        const auto& bytes = rebuilt.value;
        const qdt::Status kept = qdt::writeFileAtomically(workFile(patchFileName(languageOriginal)),
                                                          bytes.data(), bytes.size());
        runlog::write(
            QStringLiteral("restoring the original: the reverse patch was rebuilt from "
                           "the backup copy (%1)")
                .arg(kept ? QStringLiteral("kept") : QString::fromStdString(kept.detail)));
        const QByteArray rebuiltPatch(reinterpret_cast<const char*>(bytes.data()),
                                      static_cast<int>(bytes.size()));
        return showEngineOutcome(languageOriginal, runEngine(languageOriginal, rebuiltPatch))
                   ? RestoreOutcome::Restored
                   : RestoreOutcome::Failed;
    }
    const bool original = (reverseHeader && reverseHeader.value.resultHash == hash.value) ||
                          (forwardHeader && forwardHeader.value.sourceHash == hash.value);
    if (original)
        return settle(RestoreOutcome::WasOriginal,
                      QStringLiteral("the archive already holds the original"));
    return settle(RestoreOutcome::NotOurs,
                  QStringLiteral("the archive (hash %1) holds neither our translation nor the "
                                 "original: changed by another program, left as it is")
                      .arg(hash.value, 16, 16, QLatin1Char('0')));
}

std::filesystem::path QuenDaraTranslation::archiveFile() const
{
    return qdt::nativePath(qdt::archivePath(gamePath.toStdString()));
}

void QuenDaraTranslation::whenEngineIdle(std::function<void()> work)
{
    if (engineRunning)
        afterEngine.push_back(std::move(work));
    else
        work();
}

bool QuenDaraTranslation::isPatchApplied(const QByteArray& patch)
{
    if (patch.isEmpty())
        return false;
    const auto state =
        qdt::archiveState(archiveFile(), reinterpret_cast<const unsigned char*>(patch.constData()),
                          static_cast<std::size_t>(patch.size()));
    return state.ok() && state.value == qdt::ArchiveState::Patched;
}
