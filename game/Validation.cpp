// Game folder validation: the archive probe and the reconciliation of the patch cache.
#include "app/QuenDaraTranslation.h"

void QuenDaraTranslation::validateGameFolder()
{
    // Placeholder until validation lands.
    refreshLanguageButtons(false);
}
