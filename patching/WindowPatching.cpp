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

QString failureText(const qdt::Status& status, Languages lang)
{
    using qdt::ErrorKind;
    switch (status.kind) {
    case ErrorKind::AccessDenied:
        return QStringLiteral("Can't change game files, access denied.");
    case ErrorKind::InUse:
        return QStringLiteral("Another program is using the game files, so they were not "
                              "changed. Close it and try again.\n") +
               detailOf(status);
    case ErrorKind::NoSpace:
        return QStringLiteral("Not enough free space for patching. The game files were not "
                              "changed.\n") +
               detailOf(status);
    case ErrorKind::LeftDamaged:
        return QStringLiteral("Patching stopped half-way and the game files could not be put "
                              "right.\n") +
               detailOf(status);
    case ErrorKind::SourceMismatch:
        return QStringLiteral("Game files are different from expected, can't apply the patch.");
    case ErrorKind::BadMagic:
        if (lang == languageOriginal)
            return QStringLiteral("Can't restore the original game files: the reverse patch "
                                  "patch_KR.data is missing or is not a patch file.");
        return QStringLiteral("Can't apply the patch: the file is not a patch file.");
    case ErrorKind::Malformed:
        return QStringLiteral("Can't apply the patch, it is damaged. The game files were not "
                              "changed.\n") +
               detailOf(status);
    case ErrorKind::ResultMismatch:
        return QStringLiteral(
            "Can't apply the patch: the result would not be what the patch "
            "promises, so the patch is damaged. The game files were not changed.");
    case ErrorKind::NotFound:
    case ErrorKind::ReadFailed:
        return QStringLiteral("Can't read the game files.\n") + detailOf(status);
    case ErrorKind::BackupFailed:
        return QStringLiteral("Can't make the backup copy of the game files. The game files were "
                              "not changed.\n") +
               detailOf(status);
    case ErrorKind::WriteFailed:
        return QStringLiteral("Can't write the patched game files (is the disk full?). The game "
                              "files were not changed.\n") +
               detailOf(status);
    default:
        return QStringLiteral("Can't apply the patch. The game files were not changed.\n") +
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
    // that fails the new patch's source-hash check refuses the still-translated archive.
    if (lang != languageOriginal && currentLanguage != languageOriginal) {
        applyPatch(languageOriginal, readPatchFile(languageOriginal));
    }

    ui.progressBar->setRange(0, kProgressSteps);
    ui.progressBar->reset();
    ui.progressBar->setFormat(QStringLiteral("Applying patch... %p%"));

    qdt::ApplyRequest request;
    request.archive = archiveFile();
    request.patch = reinterpret_cast<const unsigned char*>(patch.constData());
    request.patchSize = static_cast<std::size_t>(patch.size());
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

    ui.progressBar->setRange(0, 1);
    if (status.ok()) {
        currentLanguage = lang;
        refreshLanguageButtons(false);
        ui.progressBar->setValue(1);
        ui.progressBar->setFormat(QStringLiteral("Applying patch...success!"));
        return true;
    }
    ui.progressBar->setValue(1);
    showMessage(failureText(status, lang));
    ui.progressBar->setValue(0);
    ui.progressBar->setFormat(QStringLiteral("Applying patch...fail!"));
    // The archive is only ever replaced whole, by a verified content, so a failed application has
    // not changed it: there is nothing to copy back from the backup, and the player may simply
    // try again.
    refreshLanguageButtons(false);
    return false;
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
