// Window-side helpers of the patching subsystem.
#pragma once

#include <QString>

// Copies a whole file; false when either file cannot be opened.
bool copyFile(const QString& source, const QString& destination);
