// The window's "Find game" and "Browse": where a new game folder comes from.
#include <QFileDialog>

#include "app/QuenDaraTranslation.h"
#include "game/GameDiscovery.h"

void QuenDaraTranslation::findGame()
{
    QString found = findGamePathInRegistry();
    if (found.isEmpty())
        found = loadSavedGamePath();
    takeGameFolder(found, tr("Could not find the game: the launcher has not recorded where it "
                             "is, and no game folder was saved. Please use Browse to choose "
                             "QuenDara.exe in the game folder."));
}

void QuenDaraTranslation::browseGameFolder()
{
    const QString chosen = QFileDialog::getOpenFileName(this, tr("Quen Dara executable"),
                                                        ui.lineEditGameFolder->text(),
                                                        tr("QuenDara.exe (QuenDara.exe)"));
    if (chosen.isEmpty())
        return;
#ifdef Q_OS_WIN
    // The dialog answers with "/"; the rest of the program and the registry use "\".
    takeGameFolder(QString(chosen).replace(QLatin1Char('/'), QLatin1Char('\\')), QString());
#else
    // A Unix path is kept as it is: "\" is an ordinary character in Unix file names.
    takeGameFolder(chosen, QString());
#endif
}
