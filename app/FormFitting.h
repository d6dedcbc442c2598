// The window's form is laid out for Windows' own fonts; where they are missing (other systems,
// Wine) the fonts that stand in for them are often wider.
#pragma once

#include "ui_QuenDaraTranslation.h"

// Gives a text that does not fit its place the largest size, up to the form's own, at which it
// shows whole with room around it (the check box may take the free column left of the start
// button); a text that fits is left exactly as the form has it.
void fitTextsToTheirPlaces(Ui::QuenDaraTranslationClass& ui);
