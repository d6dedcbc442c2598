// The window's side of patching: applying a patch to the game's archive and telling whether a
// patch is applied.
#include "patching/WindowPatching.h"

#include <QFile>

#include "app/QuenDaraTranslation.h"

bool copyFile(const QString& source, const QString& destination)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.write(in.readAll());
    out.close();
    in.close();
    return true;
}

bool QuenDaraTranslation::applyPatch(Languages lang, const QByteArray& patch)
{
    // Placeholder until the patch engine lands.
    Q_UNUSED(lang);
    Q_UNUSED(patch);
    return false;
}

bool QuenDaraTranslation::isPatchApplied(const QByteArray& patch)
{
    Q_UNUSED(patch);
    return false;
}
