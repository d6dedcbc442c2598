// Amounts of data as players read them in messages.
#pragma once

#include <QString>
#include <QtGlobal>

// `bytes` in megabytes of 2^20 bytes, the unit the progress bar counts in too: whole numbers from
// ten on ("1024 MB"), two significant digits below ("1.5 MB", "0.098 MB").
QString megabytes(qint64 bytes);
