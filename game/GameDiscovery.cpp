// Game folder discovery: registry, settings file, "Find game" and "Browse".
#include "game/GameDiscovery.h"

#include <string>

#include <QDir>
#include <QFile>
#include <QFileDialog>

#include <nlohmann/json.hpp>

#include "app/Constants.h"
#include "app/QuenDaraTranslation.h"
#include "core/FileIo.h"
#include "game/platform/GameLookup.h"

namespace {

QString settingsFilePath()
{
    return workDir + settingsFileName;
}

} // namespace

QString findGamePathInRegistry()
{
    return QString::fromStdString(qdt::gamePathFromRegistry());
}

QString loadSavedGamePath()
{
    QFile file(settingsFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray bytes = file.readAll();
    const auto json =
        nlohmann::json::parse(bytes.constData(), bytes.constData() + bytes.size(), nullptr, false);
    if (!json.is_object())
        return QString();
    const auto member = json.find("launcherPath");
    if (member == json.end() || !member->is_string())
        return QString();
    return QString::fromStdString(member->get_ref<const std::string&>());
}

void saveGamePath(const QString& path)
{
    QDir().mkpath(workDir);
    const nlohmann::json object = {{"launcherPath", path.toStdString()}};
    const std::string text = object.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
    // Written through a temporary file: a crash half-way must not leave a truncated file that
    // would lose the path the player relies on.
    qdt::writeFileAtomically(qdt::pathFromUtf8(settingsFilePath().toStdString()), text.data(),
                             text.size());
}

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
