// main() for GoogleTest programs that need a QApplication: windows are created under the
// offscreen platform unless the environment chooses another, and a launcher process runs for the
// whole program so that the start-up gate lets windows be built.
#include <memory>

#include <gtest/gtest.h>

#include <QApplication>

#include "app/UiLanguage.h"
#include "tests/support/FakeProcess.h"
#include "tests/support/TestLauncher.h"

namespace {

std::unique_ptr<FakeProcess> launcher;

class LauncherEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        launcher = std::make_unique<FakeProcess>(QStringLiteral("ORBEX.exe"));
        ASSERT_TRUE(launcher->running());
    }
    void TearDown() override { launcher.reset(); }
};

} // namespace

bool testLauncherRunning()
{
    return launcher && launcher->running();
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // As the program does: Russian texts when the system's language is Russian.
    installUiLanguage();
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LauncherEnvironment);
    return RUN_ALL_TESTS();
}
