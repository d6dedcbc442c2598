#include <QApplication>
#include <QDir>
#include <QMessageBox>

#include "app/Constants.h"
#include "app/InstanceLock.h"
#include "app/Messages.h"
#include "app/QuenDaraTranslation.h"
#include "app/RunLog.h"
#include "app/UiLanguage.h"
#include "distribution/ReleaseKeys.h"

int main(int argc, char** argv)
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
#ifdef Q_OS_WIN
    // The window is laid out in fixed places: at 125 %, 150 % or 175 % display scaling the whole
    // window must grow with the fonts. Qt rounds the factor to a whole number by default, which
    // keeps the window at 100 % (or doubles it) while the fonts follow the display. Elsewhere the
    // factor comes from the screen's physical size (1.04 on a plain X server), and is rounded.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif
    QApplication app(argc, argv);
    // Every text, the messages before the window included, in the system's language.
    const bool russian = installUiLanguage();
    const InstanceLock lock(workDir);
    switch (lock.state()) {
    case InstanceLock::State::Acquired:
        break;
    case InstanceLock::State::HeldByAnotherCopy:
        showMessage(QApplication::translate("QuenDaraTranslation",
                                            "Quen Dara Translation is already running. Please use "
                                            "the window that is open (it may be minimised)."));
        return 0;
    case InstanceLock::State::CannotBeMade:
        showMessage(QApplication::translate("QuenDaraTranslation",
                                            "Quen Dara Translation can't start: it can't make its "
                                            "lock file in its folder:\n%1\n%2\nPlease check "
                                            "that this folder can be written (and is not "
                                            "read-only), then start the program again.")
                        .arg(QDir::toNativeSeparators(workDir), lock.problem()));
        return 1;
    }
    runlog::start(workDir);
    runlog::write(QStringLiteral("window language: ") +
                  (russian ? QStringLiteral("Russian") : QStringLiteral("English")));
    // The build checked the keys' form; one that still fails to parse leaves none, and then no
    // manifest verifies rather than every one.
    std::vector<qdt::PublicKey> keys;
    QString keysProblem;
    QString keyList = QStringLiteral(QDT_RELEASE_KEYS);
#ifdef QDT_AUTOMATION_HOOK
    // Builds for tests and the demo only: the end-to-end tests sign with keys of their own.
    if (qEnvironmentVariableIsSet("QDT_TEST_RELEASE_KEYS"))
        keyList = qEnvironmentVariable("QDT_TEST_RELEASE_KEYS");
#endif
    if (!parseReleaseKeyList(keyList, keys, &keysProblem)) {
        runlog::write(QStringLiteral("release keys refused: ") + keysProblem);
        showMessage(QApplication::translate("QuenDaraTranslation",
                                            "This copy of Quen Dara Translation was built with a "
                                            "damaged key.\nPlease download it again."));
        return 1;
    }
    setReleaseKeys(std::move(keys));
    QuenDaraTranslation window;
    window.show();
    return app.exec();
}
