// Where the game is: the registry, the settings file in the work directory.
#pragma once

#include <QString>

// The game executable's path as the launcher recorded it in the registry; empty when not found.
QString findGamePathInRegistry();

// The path stored in the settings file; empty when there is no usable one.
QString loadSavedGamePath();

// Stores the path in the settings file.
void saveGamePath(const QString& path);
