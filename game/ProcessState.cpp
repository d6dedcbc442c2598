#include "game/ProcessState.h"

int processState()
{
    // Placeholder until the process scan lands: lets start-up go on.
    return LauncherRunning;
}
