// Restoring the original archive when the window closes.
#include <QCloseEvent>
#include <QMessageBox>
#include <QPushButton>

#include "app/Constants.h"
#include "app/QuenDaraTranslation.h"
#include "app/RunLog.h"
#include "game/ProcessState.h"

void QuenDaraTranslation::closeEvent(QCloseEvent* event)
{
    // Closing while the engine rewrites the archive waits for it to finish.
    if (engineRunning) {
        closeAfterEngine = true;
        event->ignore();
        return;
    }
    // A patch still downloading is not wanted any more: it must not arrive during the restore
    // below and be applied over it.
    cancelPatchDownload();
    if (!ui.restoreCheckbox->isChecked() || currentLanguage == languageOriginal) {
        event->accept();
        return;
    }
    // With the game running its files are in use: don't even try.
    if (processState() == GameRunning) {
        event->ignore();
        runlog::write(QStringLiteral("closing: the game runs, the original was not restored"));
        QMessageBox box;
        box.setText(tr("Could not restore original files while game is running."));
        QPushButton* stay = box.addButton(tr("I'll close the game first"), QMessageBox::YesRole);
        box.addButton(tr("Exit anyway (not recommended)"), QMessageBox::NoRole);
        // Esc, or closing the box, must keep the window open: the cautious answer.
        box.setEscapeButton(stay);
        box.exec();
        if (box.clickedButton() == stay || !box.clickedButton())
            return;
        event->accept();
        return;
    }
    // Only our own translation is taken out. An archive that already holds the original, or that
    // the launcher has updated or repaired since, is left as it is and the window just closes.
    switch (restoreOriginal(currentLanguage)) {
    case RestoreOutcome::Restored:
    case RestoreOutcome::WasOriginal:
    case RestoreOutcome::NotOurs:
        event->accept();
        return;
    case RestoreOutcome::Failed:
        break;
    }
    // The player has been told what failed; the choice is theirs.
    event->ignore();
    runlog::write(QStringLiteral("closing: the original could not be restored"));
    QMessageBox box;
    box.setText(tr("The original game files were not restored, so the translation stays in the "
                   "game."));
    QPushButton* stay = box.addButton(tr("Keep the window open"), QMessageBox::YesRole);
    box.addButton(tr("Exit anyway (not recommended)"), QMessageBox::NoRole);
    box.setEscapeButton(stay);
    box.exec();
    if (box.clickedButton() == stay || !box.clickedButton())
        return;
    event->accept();
}
