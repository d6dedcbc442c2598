#include "app/Constants.h"

#include <QStandardPaths>

// Definition order is construction order: workDir needs homeDir.
const QString launchArgument = QStringLiteral(" -launch_from_launcher");
const QString settingsFileName = QStringLiteral("fallbackJson.json");
const QString homeDir = QStandardPaths::locate(QStandardPaths::HomeLocation, QString(),
                                               QStandardPaths::LocateDirectory);
const QString workDir = homeDir + QStringLiteral(".quen_dara_patch/");
const QString gameExeName = QStringLiteral("QuenDara.exe");
const QString launcherExeName = QStringLiteral("ORBEX.exe");
