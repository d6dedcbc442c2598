// Every window test program runs with a fake "ORBEX.exe" (started by QtTestMain), because the
// window's start-up gate ends the program without a running launcher.
#pragma once

// Whether the launcher started for this test program is still running.
bool testLauncherRunning();
