// The main window: owns the program's state and turns the work of the other subsystems into what
// the player sees. Members that belong to another subsystem are defined in that subsystem's folder.
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <vector>

#include <QByteArray>
#include <QMainWindow>
#include <QString>

#include <nlohmann/json.hpp>

#include "app/Languages.h"
#include "core/FileFingerprint.h"
#include "core/Status.h"
#include "ui_QuenDaraTranslation.h"

class FileDownloader;
struct DownloadResult;
struct ManifestVerdict;
class QCloseEvent;

class QuenDaraTranslation : public QMainWindow
{
    Q_OBJECT

public:
    explicit QuenDaraTranslation(QWidget* parent = nullptr);
    ~QuenDaraTranslation() override;

    // Language controls (app/LanguageControls.cpp). busy: a patch is about to be fetched or
    // applied, so only the applied language's button stays usable.
    void refreshLanguageButtons(bool busy);

    // Patch acquisition (distribution/): 0, 1, 2 apply that translation, 4 restores the original.
    void selectLanguage(Languages lang);

    // Patch engine adapter (patching/): applies `patch` to the game's archive; language 4 applies
    // the stored reverse patch. True when the archive was rewritten.
    bool applyPatch(Languages lang, const QByteArray& patch);

    // True when the archive's content has the result hash of `patch` (patching/).
    bool isPatchApplied(const QByteArray& patch);

    // Probes the archive, reconciles the cached patches with the manifest and the archive,
    // rolls back an outdated translation, sets currentLanguage (game/). When the archive can't
    // be used it says why and closes the window (the start-up check).
    void validateGameFolder();

    // "Find game" and "Browse" (game/).
    void findGame();
    void browseGameFolder();

protected:
    void closeEvent(QCloseEvent* event) override;

    // The game folder's archive as a file of this system (patching/).
    std::filesystem::path archiveFile() const;
    // Why the game folder's archive can't be patched, for the player; empty when it can.
    // `inUse` says whether another program holds it (the folder is right, the time is not).
    QString gameFolderProblem(bool* inUse = nullptr) const;
    // Takes a folder chosen by Find game or Browse: validated, saved and reconciled; when it
    // can't be used (or is empty: `notFound` says why) the window keeps the previous folder and
    // says what was wrong. True when it was taken.
    bool takeGameFolder(const QString& chosen, const QString& notFound);
    // The reconciliation part of validateGameFolder, once the manifest is here.
    void reconcileGameFolder();
    // Stops a patch download in flight, for good: nothing of it is applied.
    void cancelPatchDownload();
    // What a restore of the original found and did.
    enum class RestoreOutcome
    {
        Restored,    // the archive held our translation and holds the original again
        WasOriginal, // the archive already held the original (the launcher repaired it)
        NotOurs,     // the archive holds neither (the launcher updated it, or it is gone)
        Failed       // our translation stays; the player has been told why and what to do
    };
    // Puts the original archive back when it holds the translation `applied`: with the reverse
    // patch, or, where that is missing or damaged, with one rebuilt from the backup copy. When
    // the archive holds something else it is left alone and the window shows it as original.
    RestoreOutcome restoreOriginal(Languages applied);
    // Runs the engine for `patch` on the archive without showing anything; an archive known not
    // to be the patch's source is refused without reading it.
    qdt::Status runEngine(Languages lang, const QByteArray& patch);
    // Shows the engine's outcome: the progress bar, the controls and any message.
    bool showEngineOutcome(Languages lang, const qdt::Status& status);
    // Runs `work` now, or, while the engine works, once it has finished: a network completion or
    // a timer that the engine's repaints let through must not start our logic inside it.
    void whenEngineIdle(std::function<void()> work);

private slots:
    void patchInfoDownloaded(const DownloadResult& result);
    void patchDownloaded(Languages lang, const DownloadResult& result);
    void updateTimer();
    void startTheGame();

private:
    void manifestProgress(qint64 bytesReceived, qint64 bytesTotal);
    // The signature of the manifest `manifestResult` has arrived (release keys in force).
    void manifestSignatureDownloaded(const DownloadResult& manifestResult,
                                     const DownloadResult& signature);
    // Acts on what the manifest's arrival means: the version gate and the folder validation.
    void showManifestVerdict(const DownloadResult& result, const ManifestVerdict& verdict);

    Ui::QuenDaraTranslationClass ui;
    QString gamePath;
    FileDownloader* manifestDownloader = nullptr;
    FileDownloader* patchDownloader = nullptr;
    nlohmann::json manifest;
    std::array<quint64, 3> patchHashes{{0, 0, 0}};
    Languages currentLanguage = languageOriginal;
    bool engineRunning = false;
    std::vector<std::function<void()>> afterEngine;
    bool closeAfterEngine = false;
    // The archive's hash, for as long as the archive stays the file it was read from.
    qdt::RememberedHash archiveHash;
    // The hash of the translated archive our last application wrote (0: none since), so that our
    // own translation is known as ours even when every file that would tell has been lost.
    std::uint64_t writtenTranslation = 0;
    // The player has been told once that no published translation fits the game's archive.
    bool toldArchiveDoesNotFit = false;

    // Tests reach the state through this (tests/support/WindowAccess.h).
    friend struct WindowAccess;
};
