#include "app/Constants.h"

#include <QStandardPaths>

#include "game/platform/GameLookup.h"

// Definition order is construction order: workDir needs homeDir.
const QString launchArgument = QStringLiteral(" -launch_from_launcher");
const QString settingsFileName = QStringLiteral("fallbackJson.json");
const QString homeDir = QStandardPaths::locate(QStandardPaths::HomeLocation, QString(),
                                               QStandardPaths::LocateDirectory);
const QString workDir = homeDir + QStringLiteral(".quen_dara_patch/");
const QString gameExeName = QString::fromLatin1(qdt::kGameExeName);
const QString launcherExeName = QString::fromLatin1(qdt::kLauncherExeName);
