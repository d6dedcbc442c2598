// The language buttons and "Start the game" as a display of the manifest, the applied language
// and the busy flag; the buttons' clicks.
#include "tests/distribution/WindowFixture.h"

#include <QPushButton>

namespace {

using json = nlohmann::json;

struct ButtonCase
{
    const char* name;
    json manifest;
    Languages current;
    bool busy;
    std::array<bool, 3> enabled; // pushButtonEnglish, pushButtonEnglish_2, pushButtonRussian
    bool start;
};

class LanguageControls : public DistributionWindowTest
{
};

TEST_F(LanguageControls, ButtonTable)
{
    const json mixed = {
        {"filename_EN", "http://127.0.0.1:9/en"}, {"filename_EN_M", ""}, {"filename_RU", 5}};
    const json all = {{"filename_EN", "http://127.0.0.1:9/en"},
                      {"filename_EN_M", "https://127.0.0.1:9/enm"},
                      {"filename_RU", "http://127.0.0.1:9/ru"}};
    const json otherSchemes = {{"filename_EN", "file:///etc/hostname"},
                               {"filename_EN_M", "qrc:/QuenDaraTranslation/icon.png"},
                               {"filename_RU", "ftp://127.0.0.1/ru"}};
    const ButtonCase cases[] = {
        {"mixed, original, idle", mixed, languageOriginal, false, {true, false, false}, false},
        {"mixed, Russian applied, idle", mixed, languageRussian, false, {true, false, true}, true},
        {"mixed, Russian applied, busy", mixed, languageRussian, true, {false, false, true}, false},
        {"all, machine applied, busy",
         all,
         languageEnglishMachine,
         true,
         {false, true, false},
         false},
        {"all, original, busy", all, languageOriginal, true, {false, false, false}, false},
        {"all, original, idle", all, languageOriginal, false, {true, true, true}, false},
        {"all, English applied, idle", all, languageEnglish, false, {true, true, true}, true},
        {"no manifest yet", json(), languageOriginal, true, {false, false, false}, false},
        {"no manifest, idle", json(), languageOriginal, false, {false, false, false}, false},
        {"an array, English applied",
         json::array({1, 2}),
         languageEnglish,
         false,
         {true, false, false},
         true},
        {"other schemes are not offered",
         otherSchemes,
         languageOriginal,
         false,
         {false, false, false},
         false},
    };
    makeWindow(false);
    QPushButton* buttons[] = {ui().pushButtonEnglish, ui().pushButtonEnglish_2,
                              ui().pushButtonRussian};
    for (const auto& c : cases) {
        WindowAccess::manifest(*window) = c.manifest;
        WindowAccess::currentLanguage(*window) = c.current;
        // Start from the opposite of what is expected, so every state must really be set.
        for (int i = 0; i < 3; ++i) {
            buttons[i]->setEnabled(!c.enabled[i]);
            buttons[i]->setChecked(c.current != i);
        }
        ui().pushButtonStart->setEnabled(!c.start);
        window->refreshLanguageButtons(c.busy);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(buttons[i]->isEnabled(), c.enabled[i]) << c.name << ", button " << i;
            EXPECT_EQ(buttons[i]->isChecked(), c.current == i) << c.name << ", button " << i;
        }
        EXPECT_EQ(ui().pushButtonStart->isEnabled(), c.start) << c.name;
    }
}

TEST_F(LanguageControls, ClickingAnUncheckedButtonFetchesItsLanguage)
{
    makeWindow(false);
    server.setResponse("/ru", HttpResponse::ok(patchFor(3)));
    WindowAccess::manifest(*window) = {{"filename_EN", server.url("/en").toString().toStdString()},
                                       {"filename_RU", server.url("/ru").toString().toStdString()}};
    window->refreshLanguageButtons(false);
    ASSERT_TRUE(ui().pushButtonRussian->isEnabled());
    ui().pushButtonRussian->click();
    // Busy at once: nothing else can be started.
    EXPECT_FALSE(ui().pushButtonEnglish->isEnabled());
    EXPECT_FALSE(ui().pushButtonRussian->isChecked());
    ASSERT_TRUE(QTest::qWaitFor(
        [this] { return WindowAccess::currentLanguage(*window) == languageRussian; }, 15000));
    EXPECT_EQ(server.requestCount("/ru"), 1);
    EXPECT_EQ(server.requestCount("/en"), 0);
    EXPECT_TRUE(ui().pushButtonRussian->isChecked());
    EXPECT_TRUE(ui().pushButtonStart->isEnabled());
    EXPECT_TRUE(boxes.seen().empty());
}

TEST_F(LanguageControls, ClickingTheCheckedButtonRestoresTheOriginal)
{
    makeWindow(false);
    WindowAccess::manifest(*window) = {{"filename_EN", server.url("/en").toString().toStdString()}};
    ASSERT_TRUE(window->applyPatch(languageEnglish, patchFor(4)));
    ASSERT_TRUE(ui().pushButtonEnglish->isChecked());
    ASSERT_EQ(readAll(archive), patchedArchive(4));

    ui().pushButtonEnglish->click();
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageOriginal);
    EXPECT_EQ(readAll(archive), qbytes(source));
    EXPECT_FALSE(ui().pushButtonEnglish->isChecked());
    EXPECT_TRUE(ui().pushButtonEnglish->isEnabled());
    EXPECT_FALSE(ui().pushButtonStart->isEnabled());
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_TRUE(boxes.seen().empty());
}

TEST_F(LanguageControls, ClickOnADisabledButtonIsDropped)
{
    makeWindow(false);
    WindowAccess::manifest(*window) = {{"filename_RU", server.url("/ru").toString().toStdString()}};
    window->refreshLanguageButtons(true);
    ASSERT_FALSE(ui().pushButtonRussian->isEnabled());
    // A click that was on its way when the button got disabled.
    emit ui().pushButtonRussian->clicked(true);
    QTest::qWait(200);
    EXPECT_EQ(WindowAccess::patchDownloader(*window), nullptr);
    EXPECT_EQ(server.requestCount(), 0);
}

} // namespace
