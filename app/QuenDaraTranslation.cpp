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
#include "distribution/FileDownloader.h"
#include "distribution/Manifest.h"
#include "game/GameDiscovery.h"
#include "game/ProcessState.h"

namespace {

#ifndef Q_OS_WIN
// Room kept between a text and its widget's edges, beyond what the style puts there itself.
constexpr int kTextRoom = 6;

// The widest line of a widget's text and the height of all its lines, in its font.
QSize textSize(const QWidget* w)
{
    const QFontMetrics metrics(w->font());
    const QStringList lines = w->property("text").toString().split(QLatin1Char('\n'));
    int width = 0;
    for (const QString& line : lines)
        width = qMax(width, metrics.horizontalAdvance(line));
    return QSize(width, static_cast<int>(lines.size()) * metrics.lineSpacing());
}

// Makes the font of `widgets` smaller in half points, from the form's size down to 6 pt at the
// least, until `fits` holds.
template <typename Fits> void shrinkFontUntil(const std::vector<QWidget*>& widgets, Fits fits)
{
    QFont font = widgets.front()->font();
    for (int step = 0; step < 60 && !fits() && font.pointSizeF() > 6.0; ++step) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        for (QWidget* w : widgets)
            w->setFont(font);
    }
}

// The form is laid out for Windows' fonts; the fonts that stand in for them elsewhere are often
// wider. The check box's two lines, placed at a fixed size, were cut off ("Restore original on
// (recommended)"), and the language buttons' texts reached their edges. Here every text gets the
// largest size, up to the form's own, at which it shows whole with room around it.
void fitTextsToTheirPlaces(Ui::QuenDaraTranslationClass& ui)
{
    // The check box may use the free column left of the start button.
    QCheckBox* box = ui.restoreCheckbox;
    const QRect startPlace = ui.pushButtonStart->geometry();
    const int middle = box->geometry().center().y();
    const int height = qMax(box->height(), 2 * (middle - startPlace.top()));
    box->setGeometry(box->x(), middle - height / 2, startPlace.left() - box->x() - kTextRoom,
                     height);
    shrinkFontUntil({box}, [box] {
        const QSize text = textSize(box);
        return box->sizeHint().width() + kTextRoom <= box->width() &&
               text.height() + kTextRoom <= box->height();
    });

    // The three buttons share their row, and the layout gives each at least its minimum width:
    // that is their text's width with room on both sides, and they fit when the row's minimum
    // does.
    QWidget* row = ui.pushButtonEnglish->parentWidget();
    QLayout* layout = row->layout();
    const std::vector<QWidget*> buttons = {ui.pushButtonEnglish_2, ui.pushButtonEnglish,
                                           ui.pushButtonRussian};
    const int frame = 2 * (row->style()->pixelMetric(QStyle::PM_ButtonMargin) +
                           row->style()->pixelMetric(QStyle::PM_DefaultFrameWidth));
    shrinkFontUntil(buttons, [&] {
        for (QWidget* b : buttons) {
            const QSize text = textSize(b);
            if (text.height() + 2 * kTextRoom + frame > row->height())
                return false;
            b->setMinimumWidth(text.width() + 2 * kTextRoom + frame);
        }
        layout->invalidate();
        return layout->minimumSize().width() <= row->width();
    });
    layout->activate();

    QWidget* start = ui.pushButtonStart;
    shrinkFontUntil({start}, [start, frame] {
        const QSize text = textSize(start);
        return text.width() + 2 * kTextRoom + frame <= start->width() &&
               text.height() + 2 * kTextRoom + frame <= start->height();
    });
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
