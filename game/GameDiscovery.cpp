// Where the game is: the launcher's registry entry and the settings file in the work directory.
#include "game/GameDiscovery.h"

#include <string>

#include <QDir>
#include <QFileInfo>

#include <nlohmann/json.hpp>

#include "app/Constants.h"
#include "app/RunLog.h"
#include "core/CheckedFile.h"
#include "core/FileIo.h"
#include "game/platform/GameLookup.h"

namespace {

constexpr std::size_t kMaxSettingsBytes = 64 * 1024;

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
    return loadSavedGamePath(settingsFilePath());
}

QString loadSavedGamePath(const QString& settingsFile)
{
    // A path and little else: anything larger, or a pipe, a device, a folder or a link in the
    // file's place, is not ours and must neither hold the start nor fill the memory.
    const auto bytes = qdt::readSmallRegularFile(
        qdt::pathFromUtf8(QDir::toNativeSeparators(settingsFile).toStdString()), kMaxSettingsBytes);
    if (!bytes) {
        if (bytes.status.kind != qdt::ErrorKind::NotFound)
            runlog::write(QStringLiteral("the settings file is not used: %1")
                              .arg(QString::fromStdString(bytes.status.detail)));
        return QString();
    }
    const auto* text = reinterpret_cast<const char*>(bytes.value.data());
    const auto json = nlohmann::json::parse(text, text + bytes.value.size(), nullptr, false);
    if (!json.is_object())
        return QString();
    const auto member = json.find("launcherPath");
    if (member == json.end() || !member->is_string())
        return QString();
    return QString::fromStdString(member->get_ref<const std::string&>());
}

bool saveGamePath(const QString& path)
{
    return saveGamePath(path, settingsFilePath());
}

bool saveGamePath(const QString& path, const QString& settingsFile)
{
    QDir().mkpath(QFileInfo(settingsFile).absolutePath());
    const nlohmann::json object = {{"launcherPath", path.toStdString()}};
    const std::string text = object.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
    // Written through a temporary file: a crash half-way must not leave a truncated file that
    // would lose the path the player relies on.
    const qdt::Status written = qdt::writeFileAtomically(
        qdt::pathFromUtf8(settingsFile.toStdString()), text.data(), text.size());
    if (!written)
        runlog::write(QStringLiteral("the game folder could not be saved in %1: %2")
                          .arg(settingsFile, QString::fromStdString(written.detail)));
    return written.ok();
}
