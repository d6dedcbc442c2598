#include "app/UiLanguage.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

bool prefersRussian(const QStringList& uiLanguages)
{
    if (uiLanguages.isEmpty())
        return false;
    // The language is the part before the region, the code set or the variant.
    const QString first = uiLanguages.front().trimmed();
    int end = 0;
    while (end < first.size() && first.at(end).isLetter())
        ++end;
    return first.left(end).compare(QLatin1String("ru"), Qt::CaseInsensitive) == 0;
}

bool installUiLanguage()
{
    if (!prefersRussian(QLocale::system().uiLanguages()))
        return false;
    auto* app = QCoreApplication::instance();
    bool installed = false;
    // Qt's own first, so that the window's texts are looked up before it.
    for (const char* file :
         {":/translations/qtbase_ru.qm", ":/translations/quen-dara-translation_ru.qm"}) {
        auto* translator = new QTranslator(app);
        if (translator->load(QString::fromLatin1(file)) &&
            QCoreApplication::installTranslator(translator)) {
            installed = true;
        } else {
            delete translator;
        }
    }
    return installed;
}
