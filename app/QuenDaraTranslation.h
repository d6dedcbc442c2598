// The main window: owns the program's state and turns the work of the other subsystems into what
// the player sees. Members that belong to another subsystem are defined in that subsystem's folder.
#pragma once

#include <array>

#include <QByteArray>
#include <QMainWindow>
#include <QString>

#include <nlohmann/json.hpp>

#include "app/Languages.h"
#include "ui_QuenDaraTranslation.h"

class FileDownloader;
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
    // rolls back an outdated translation, sets currentLanguage (game/).
    void validateGameFolder();

    // "Find game" and "Browse" (game/).
    void findGame();
    void browseGameFolder();

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void patchInfoDownloaded();
    void patchDownloaded(Languages lang);
    void updateTimer();
    void startTheGame();

private:
    void manifestProgress(qint64 bytesReceived, qint64 bytesTotal);

    Ui::QuenDaraTranslationClass ui;
    QString gamePath;
    FileDownloader* manifestDownloader = nullptr;
    FileDownloader* patchDownloader = nullptr;
    nlohmann::json manifest;
    std::array<quint64, 3> patchHashes{{0, 0, 0}};
    Languages currentLanguage = languageOriginal;

    // Tests reach the state through this (tests/support/WindowAccess.h).
    friend struct WindowAccess;
};
