#include "app/Languages.h"

#include <QFile>

#include "app/Constants.h"

QString languageKeySuffix(Languages lang)
{
    switch (lang) {
    case languageEnglish:
        return QStringLiteral("_EN");
    case languageEnglishMachine:
        return QStringLiteral("_EN_M");
    default:
        return QStringLiteral("_RU");
    }
}

QString patchFileName(Languages lang)
{
    switch (lang) {
    case languageEnglish:
        return QStringLiteral("patch_EN.data");
    case languageEnglishMachine:
        return QStringLiteral("patch_EN_M.data");
    case languageRussian:
        return QStringLiteral("patch_RU.data");
    case languageOriginal:
        return QStringLiteral("patch_KR.data");
    default:
        return QString();
    }
}

QByteArray readPatchFile(Languages lang)
{
    QFile file(workDir + patchFileName(lang));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
