// Whether the launcher and the game are running.
#pragma once

enum ProcessState : int {
    LauncherNotRunning = 0, // also when the process list cannot be read
    LauncherRunning = 1,    // launcher running, game not
    GameRunning = 2,        // both running
};

int processState();
