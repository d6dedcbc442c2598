// The language buttons and "Start the game" as a display of the archive's state.
#include "app/QuenDaraTranslation.h"

#include "distribution/Manifest.h"

namespace {

// A language is offered when the manifest holds a non-empty string under its "filename" key, and
// that string is an address this program will fetch (http or https).
bool offered(const nlohmann::json& manifest, Languages lang)
{
    return !patchUrl(manifest, lang).isEmpty();
}

} // namespace

void QuenDaraTranslation::refreshLanguageButtons(bool busy)
{
    const std::array<std::pair<QPushButton*, Languages>, 3> buttons{{
        {ui.pushButtonEnglish, languageEnglish},
        {ui.pushButtonEnglish_2, languageEnglishMachine},
        {ui.pushButtonRussian, languageRussian},
    }};
    for (const auto& [button, lang] : buttons) {
        const bool blocked = offered(manifest, lang) ? busy : true;
        button->setEnabled(currentLanguage == lang || !blocked);
    }
    for (const auto& [button, lang] : buttons)
        button->setChecked(currentLanguage == lang);
    ui.pushButtonStart->setEnabled(currentLanguage != languageOriginal && !busy);
}
