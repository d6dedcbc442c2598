#include <QApplication>
#include <QMessageBox>

#include "app/Constants.h"
#include "app/InstanceLock.h"
#include "app/Messages.h"
#include "app/QuenDaraTranslation.h"
#include "app/RunLog.h"

int main(int argc, char** argv)
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    const InstanceLock lock(workDir);
    if (!lock.acquired()) {
        showMessage(QApplication::translate("QuenDaraTranslation",
                                            "Quen Dara Translation is already running. Please use "
                                            "the window that is open (it may be minimised)."));
        return 0;
    }
    runlog::start(workDir);
    QuenDaraTranslation window;
    window.show();
    return app.exec();
}
