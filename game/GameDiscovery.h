// Where the game is: the registry, the settings file in the work directory.
#pragma once

#include <QString>

// The game executable's path as the launcher recorded it in the registry; empty when not found.
QString findGamePathInRegistry();

// The path stored in the settings file ("fallbackJson.json" in the work directory, or the file
// given); empty when there is no usable one. Only a regular file of at most 64 KiB is read; a
// link, a folder, a pipe, a device or a larger file is passed over at once, and the log says why.
QString loadSavedGamePath();
QString loadSavedGamePath(const QString& settingsFile);

// Stores the path in the settings file, replacing it whole or not at all: a link or another name
// of a file in its place is replaced, never written through. False when it could not be written
// (the file before stays as it was).
bool saveGamePath(const QString& path);
bool saveGamePath(const QString& path, const QString& settingsFile);
