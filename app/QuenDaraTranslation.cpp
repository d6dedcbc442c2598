// The window's construction: the start-up sequence up to the manifest request.
#include "app/QuenDaraTranslation.h"
#include "app/Messages.h"

#include <cstdlib>

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFontMetrics>
#include <QIcon>
#include <QLayout>
#include <QMessageBox>
#include <QStyle>
#include <QUrl>

#ifdef QDT_AUTOMATION_HOOK
#include "app/AutomationHook.h"
#endif
#include "app/Constants.h"
#include "app/FormFitting.h"
#include "distribution/FileDownloader.h"
#include "distribution/Manifest.h"
#include "game/GameDiscovery.h"
#include "game/ProcessState.h"


QuenDaraTranslation::QuenDaraTranslation(QWidget* parent) : QMainWindow(parent)
{
    QDir::current().mkpath(workDir);

    ui.setupUi(this);
    fitTextsToTheirPlaces(ui);
#ifdef QDT_AUTOMATION_HOOK
    AutomationHook::installIfRequested(this);
#endif

    gamePath = findGamePathInRegistry();
    if (gamePath.isEmpty())
        gamePath = loadSavedGamePath();
    ui.lineEditGameFolder->setText(gamePath);

    refreshLanguageButtons(true);

    const auto languageFunctor = [this](QPushButton* button, Languages lang) {
        return [this, button, lang](bool checked) {
            if (button->isEnabled())
                selectLanguage(checked ? lang : languageOriginal);
        };
    };
    connect(ui.pushButtonEnglish, &QPushButton::clicked, ui.pushButtonEnglish,
            languageFunctor(ui.pushButtonEnglish, languageEnglish));
    connect(ui.pushButtonEnglish_2, &QPushButton::clicked, ui.pushButtonEnglish_2,
            languageFunctor(ui.pushButtonEnglish_2, languageEnglishMachine));
    connect(ui.pushButtonRussian, &QPushButton::clicked, ui.pushButtonRussian,
            languageFunctor(ui.pushButtonRussian, languageRussian));
    connect(ui.toolButtonGameFolder, &QToolButton::clicked, ui.toolButtonGameFolder,
            [this] { browseGameFolder(); });
    connect(ui.toolButtonFindGame, &QToolButton::clicked, ui.toolButtonFindGame,
            [this] { findGame(); });
    connect(ui.donateLabel, &QLabel::linkActivated, ui.donateLabel,
            [](const QString& link) { QDesktopServices::openUrl(QUrl(link, QUrl::TolerantMode)); });
    connect(ui.pushButtonStart, &QPushButton::clicked, ui.pushButtonStart,
            [this] { startTheGame(); });

    setWindowIcon(QIcon(QStringLiteral(":/QuenDaraTranslation/icon.png")));
    setWindowTitle(tr("Quen Dara Online Translation v%1.%2").arg(versionMajor).arg(versionMinor));

    const int state = processState();
    if (state != LauncherRunning) {
        showMessage(state == GameRunning
                        ? tr("Please exit the game first.")
                        : tr("Please login in ORBEX first, make sure button has blue color."));
        close();
        // The window was never shown and nothing has been changed yet: leave at once.
        std::_Exit(0);
    }

    // The manifest is a small JSON file: the downloader itself stops anything larger as it
    // arrives, before it fills the memory or keeps the line busy.
    FileDownloader::Limits limits;
    limits.maxBytes = kMaxManifestBytes;
    manifestDownloader = new FileDownloader(
        manifestUrl(), [this](qint64 received, qint64 total) { manifestProgress(received, total); },
        this, limits);
    connect(manifestDownloader, &FileDownloader::finished, this,
            [this](const DownloadResult& result) {
                whenEngineIdle([this, result] { patchInfoDownloaded(result); });
            });
}

QuenDaraTranslation::~QuenDaraTranslation() = default;
