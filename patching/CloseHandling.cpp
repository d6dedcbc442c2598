// Restoring the original archive when the window closes.
#include <QCloseEvent>

#include "app/QuenDaraTranslation.h"

void QuenDaraTranslation::closeEvent(QCloseEvent* event)
{
    // Placeholder until the close handling lands.
    event->accept();
}
