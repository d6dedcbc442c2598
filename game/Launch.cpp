// Starting the game and watching for its path.
#include "app/QuenDaraTranslation.h"

void QuenDaraTranslation::startTheGame()
{
    // Placeholder until the launch lands.
}

void QuenDaraTranslation::updateTimer()
{
}
