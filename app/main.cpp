#include <QApplication>

#include "app/QuenDaraTranslation.h"

int main(int argc, char** argv)
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    QuenDaraTranslation window;
    window.show();
    return app.exec();
}
