// Starting the game and watching for its path.
#include <string>
#include <vector>

#include <QMessageBox>
#include <QTimer>

#include "app/Constants.h"
#include "app/Messages.h"
#include "app/QuenDaraTranslation.h"
#include "app/RunLog.h"
#include "game/GameDiscovery.h"
#include "game/ProcessState.h"
#include "game/platform/GameLookup.h"
#include "game/platform/Platform.h"

void QuenDaraTranslation::startTheGame()
{
    const int state = processState();
    if (state != LauncherRunning) {
        showMessage(state == GameRunning ? tr("Game is already running.")
                                         : tr("Please login in ORBEX first."));
        return;
    }
    showMinimized();
    // The game gets its own path as the program and the switch as its one argument, and its own
    // folder as the working folder: it looks for its data there, not where the patcher was
    // unpacked.
    const qdt::Status started =
        qdt::startDetached(gamePath.toStdString(), {launchArgument.trimmed().toStdString()});
    runlog::write(QStringLiteral("starting the game %1: %2")
                      .arg(gamePath, started ? QStringLiteral("started")
                                             : QString::fromStdString(started.detail)));
    if (!started) {
        showNormal();
        showMessage(tr("Could not start the game:") + QLatin1Char('\n') + gamePath +
                    QLatin1Char('\n') + QString::fromStdString(started.detail) + QLatin1Char('\n') +
                    tr("Please check that the game is installed there, or choose QuenDara.exe "
                       "with Find game or Browse. You can also start the game from ORBEX."));
        return;
    }
    // A folder the game started from is the one to remember.
    saveGamePath(gamePath);
}

void QuenDaraTranslation::updateTimer()
{
    if (!gamePath.isEmpty())
        return;
    if (engineRunning) {
        QTimer::singleShot(1000, this, SLOT(updateTimer()));
        return;
    }
    // The candidate is the running game itself: once the player starts it from the launcher, its
    // executable's path is exactly the path this program needs.
    QString candidate;
    const auto paths = qdt::runningProcessPaths();
    if (paths)
        candidate = QString::fromStdString(qdt::gamePathAmong(paths.value));
    if (candidate.isEmpty()) {
        QTimer::singleShot(1000, this, SLOT(updateTimer()));
        return;
    }
    gamePath = candidate;
    ui.lineEditGameFolder->setReadOnly(false);
    ui.lineEditGameFolder->setText(gamePath);
    saveGamePath(gamePath);
    validateGameFolder();
}
