// The language values and what belongs to each: manifest keys and cache file names.
#pragma once

#include <QString>
#include <QtGlobal>

// 0 human English, 1 human + machine English, 2 Russian, 4 the original archive. Nothing makes 3.
using Languages = qint32;

constexpr Languages languageEnglish = 0;
constexpr Languages languageEnglishMachine = 1;
constexpr Languages languageRussian = 2;
constexpr Languages languageOriginal = 4;

// "_EN", "_EN_M", and "_RU" for every other value.
QString languageKeySuffix(Languages lang);

// "patch_EN.data", "patch_EN_M.data", "patch_RU.data", "patch_KR.data" (the reverse patch, for 4);
// the empty string for anything else.
QString patchFileName(Languages lang);

// The whole content of a language's file in the work directory (its cached patch, or the reverse
// patch for 4); empty when it cannot be read.
QByteArray readPatchFile(Languages lang);
