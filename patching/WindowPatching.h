// Window-side helpers of the patching subsystem.
#pragma once

#include <QString>

// Copies a whole file; the destination is replaced only by a complete, flushed copy. False when
// the source can't be read or the copy can't be written.
bool copyFile(const QString& source, const QString& destination);

// Why a published translation does not fit the game's archive, and what happens next: the lines
// that follow "Game files are different from expected".
QString archiveDoesNotFitText();
