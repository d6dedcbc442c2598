#include "app/Messages.h"

#include <QMessageBox>

#include "app/RunLog.h"

void showMessage(const QString& text, const QString& title)
{
    runlog::write(QStringLiteral("message shown: ") + text);
    QMessageBox box;
    box.setText(text);
    if (!title.isEmpty())
        box.setWindowTitle(title);
    box.exec();
}
