// Whether the launcher and the game are running. Plain C++: the core library and its Windows
// tests use it as well as the window.
#pragma once

enum ProcessState : int
{
    LauncherNotRunning = 0, // also when the process list cannot be read
    LauncherRunning = 1,    // launcher running, game not
    GameRunning = 2,        // both running
};

// Scans the running processes afresh on every call.
int processState();
