// Game folder discovery: registry, settings file, "Find game" and "Browse".
#include "game/GameDiscovery.h"

#include "app/QuenDaraTranslation.h"

QString findGamePathInRegistry()
{
    // Placeholder until game discovery lands.
    return QString();
}

QString loadSavedGamePath()
{
    return QString();
}

void saveGamePath(const QString& path)
{
    Q_UNUSED(path);
}

void QuenDaraTranslation::findGame() {}

void QuenDaraTranslation::browseGameFolder() {}
