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
    if (processState() != GameRunning) {
        if (applyPatch(languageOriginal, readPatchFile(languageOriginal))) {
            event->accept();
            return;
        }
    }
    event->ignore();
    runlog::write(QStringLiteral("closing: the original could not be restored"));
    QMessageBox box;
    box.setText(QStringLiteral("Could not restore original files while game is running."));
    QPushButton* stay = box.addButton(tr("I'll close the game first"), QMessageBox::YesRole);
    box.addButton(tr("Exit anyway (not recommended)"), QMessageBox::NoRole);
    // Esc, or closing the box, must keep the window open: the cautious answer.
    box.setEscapeButton(stay);
    box.exec();
    if (box.clickedButton() == stay || !box.clickedButton())
        return;
    event->accept();
}
