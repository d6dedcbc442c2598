// Patch acquisition helpers that need no window: the speed shown during a download and the size
// bound for patch downloads.
#pragma once

#include <QString>
#include <QtGlobal>

#include "patching/PatchFormat.h"

// The largest patch body accepted. The engine takes each patch whole in memory, and the progress
// bar counts bytes in an int; a larger body is refused before it fills the memory.
constexpr qint64 kMaxPatchBytes = static_cast<qint64>(qdt::kMaxPatchSize);

// Average speed since the request in 2^20 bytes per second, over whole elapsed seconds. Within the
// first second the elapsed time counts as one second, so the figure is never infinite.
double downloadSpeed(qint64 bytesReceived, qint64 elapsedNanoseconds);

// "Downloading the patch...%p% (%1 Mb/sec)" with the speed to three significant digits.
QString downloadProgressFormat(double speed);
// "Connection lost, resuming... (attempt %1 of %2)": a lost connection is taken up again.
QString downloadResumingFormat(int attempt, int attempts);
// The text beside a busy bar, for a download of unknown length: what arrived (in Mb) and the speed.
QString downloadBusyFormat(qint64 bytesReceived, double speed);
