// Choosing between the cached and a downloaded patch, and storing downloads in the cache.
#include "app/QuenDaraTranslation.h"

void QuenDaraTranslation::selectLanguage(Languages lang)
{
    // Placeholder until patch acquisition lands.
    Q_UNUSED(lang);
    refreshLanguageButtons(true);
}

void QuenDaraTranslation::patchDownloaded(Languages lang)
{
    Q_UNUSED(lang);
}
