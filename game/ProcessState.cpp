#include "game/ProcessState.h"

#include "game/platform/GameLookup.h"

int processState()
{
    const auto paths = qdt::runningProcessPaths();
    if (!paths)
        return LauncherNotRunning;
    return qdt::processStateOf(paths.value);
}
