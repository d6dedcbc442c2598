// Where the patch manifest comes from.
#pragma once

#include <QUrl>

// The built-in manifest address, or QUEN_DARA_MANIFEST_URL when that is set (mirrors, tests).
QUrl manifestUrl();
