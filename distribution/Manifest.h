// The patch manifest: where it comes from and how its members are read.
#pragma once

#include <QString>
#include <QUrl>

#include <nlohmann/json.hpp>

#include "app/Languages.h"

// The built-in manifest address, or QUEN_DARA_MANIFEST_URL when that is set (mirrors, tests).
QUrl manifestUrl();

// The hash the manifest publishes for a language ("xxhash" + suffix): any JSON number as an
// unsigned 64-bit value (floating point truncated), anything else 0. Never throws.
quint64 publishedHash(const nlohmann::json& manifest, Languages lang);

// The patch address the manifest gives for a language ("filename" + suffix) when it is a string,
// else the empty string. Never throws.
QString patchAddress(const nlohmann::json& manifest, Languages lang);
