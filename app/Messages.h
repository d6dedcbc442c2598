// The one way the program shows a message to the player: a modal box, and a line in the run log.
#pragma once

#include <QString>

void showMessage(const QString& text, const QString& title = QString());
