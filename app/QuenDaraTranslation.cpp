// The window's construction: the start-up sequence up to the manifest request.
#include "app/QuenDaraTranslation.h"
#include "app/Messages.h"

#include <cstdlib>

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFontMetrics>
#include <QIcon>
#include <QMessageBox>
#include <QUrl>

#ifdef QDT_AUTOMATION_HOOK
#include "app/AutomationHook.h"
#endif
#include "app/Constants.h"
#include "distribution/FileDownloader.h"
#include "distribution/Manifest.h"
#include "game/GameDiscovery.h"
#include "game/ProcessState.h"

namespace {

#ifndef Q_OS_WIN
// Whether the widget's text shows whole in the widget's place.
bool textShowsWhole(QWidget* w)
{
    const QString text = w->property("text").toString();
    const int lines = static_cast<int>(text.count(QLatin1Char('\n'))) + 1;
    return w->sizeHint().width() <= w->width() &&
           lines * QFontMetrics(w->font()).lineSpacing() <= w->height();
}

// The form is laid out for Windows' fonts; the fonts that stand in for them elsewhere are often
// wider, and the check box's two lines, placed at a fixed size, were cut off ("Restore original
// on (recommended)"). It gets the largest size, up to the form's own, at which its text shows
// whole. (The buttons sit in layouts that size them by their texts.)
void fitTextsToTheirPlaces(Ui::QuenDaraTranslationClass& ui)
{
    QWidget* w = ui.restoreCheckbox;
    QFont font = w->font();
    for (int step = 0; step < 40 && !textShowsWhole(w) && font.pointSizeF() > 6.0; ++step) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        w->setFont(font);
    }
}
#endif

} // namespace

QuenDaraTranslation::QuenDaraTranslation(QWidget* parent) : QMainWindow(parent)
{
    QDir::current().mkpath(workDir);

    ui.setupUi(this);
#ifndef Q_OS_WIN
    fitTextsToTheirPlaces(ui);
#endif
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
