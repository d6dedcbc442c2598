#include "app/Languages.h"

#include <QFile>

#include "app/Constants.h"
#include "core/LanguageTable.h"

QString languageKeySuffix(Languages lang)
{
    // Every value that is no translation reads the Russian keys, as it always has.
    const bool translation = lang >= 0 && static_cast<std::size_t>(lang) < qdt::kLanguageCount;
    return QString::fromLatin1(qdt::kLanguageTable[translation ? lang : languageRussian].suffix);
}

QString patchFileName(Languages lang)
{
    if (lang == languageOriginal)
        return QString::fromLatin1(qdt::kReversePatchFile);
    if (lang < 0 || static_cast<std::size_t>(lang) >= qdt::kLanguageCount)
        return QString();
    return QString::fromLatin1(qdt::kLanguageTable[lang].cacheFile);
}

QByteArray readPatchFile(Languages lang)
{
    QFile file(workDir + patchFileName(lang));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
