// Process-wide constants, built once before main() runs.
#pragma once

#include <QString>

extern const QString launchArgument;   // " -launch_from_launcher", with its leading blank
extern const QString settingsFileName; // "fallbackJson.json", in the work directory
extern const QString homeDir;          // home directory, "/" separators, trailing "/"; may be empty
extern const QString workDir;          // homeDir + ".quen_dara_patch/"
extern const QString gameExeName;      // "QuenDara.exe"
extern const QString launcherExeName;  // "ORBEX.exe"

constexpr unsigned versionMajor = QDT_VERSION_MAJOR;
constexpr unsigned versionMinor = QDT_VERSION_MINOR;
