// The window as it stands after construction: the form, the constants, the title, the work
// directory.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

#include "app/Constants.h"
#include "app/FormFitting.h"
#include "app/InstanceLock.h"
#include "app/Messages.h"
#include "app/QuenDaraTranslation.h"
#include "app/RunLog.h"
#include "app/UiLanguage.h"
#include "core/CheckedFile.h"
#include "tests/support/QtPath.h"
#include "tests/support/WindowAccess.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The window speaks the system's language: these tests run with an English one and once more
// with a Russian one ("ru." before their names).
bool russianSystem()
{
    return prefersRussian(QLocale::system().uiLanguages());
}

// A text as the window shows it: the sources' English as it stands, or the translator's Russian.
QString shown(const char* context, const char* english)
{
    return russianSystem() ? QCoreApplication::translate(context, english)
                           : QString::fromUtf8(english);
}

QString formText(const char* english)
{
    return shown("QuenDaraTranslationClass", english);
}

QStringList probeConstants(const QProcessEnvironment& env)
{
    QProcess probe;
    probe.setProcessEnvironment(env);
    probe.start(QStringLiteral(QDT_CONSTANTS_PROBE), QStringList());
    EXPECT_TRUE(probe.waitForFinished(30000));
    // Windows writes text-mode output with CR LF line ends.
    return QString::fromUtf8(probe.readAllStandardOutput())
        .remove(QLatin1Char('\r'))
        .split(QLatin1Char('\n'));
}

#ifdef _WIN32
// Windows keeps the work directory in the user's profile, whatever the environment says.
TEST(Constants, WorkDirectoryIsInTheUserProfile)
{
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), QStringLiteral("C:/nonexistent/qdt-no-home"));
    const QStringList lines = probeConstants(env);
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[0], QDir::homePath() + QLatin1Char('/'));
    EXPECT_EQ(lines[1], QDir::homePath() + QStringLiteral("/.quen_dara_patch/"));
    EXPECT_TRUE(QDir(lines[0]).exists()) << lines[0].toStdString();
}
#else
TEST(Constants, WorkDirectoryFollowsTheHomeDirectory)
{
    QTemporaryDir home;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    const QStringList lines = probeConstants(env);
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[0], home.path() + QLatin1Char('/'));
    EXPECT_EQ(lines[1], home.path() + QStringLiteral("/.quen_dara_patch/"));
}

TEST(Constants, WorkDirectoryIsRelativeWithoutAHomeDirectory)
{
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), QStringLiteral("/nonexistent/qdt-no-home"));
    const QStringList lines = probeConstants(env);
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[0], QString());
    EXPECT_EQ(lines[1], QStringLiteral(".quen_dara_patch/"));
}

#endif

TEST(Constants, FixedNames)
{
    EXPECT_EQ(launchArgument, QStringLiteral(" -launch_from_launcher"));
    EXPECT_EQ(launchArgument.size(), 22);
    EXPECT_EQ(settingsFileName, QStringLiteral("fallbackJson.json"));
    EXPECT_EQ(gameExeName, QStringLiteral("QuenDara.exe"));
    EXPECT_EQ(launcherExeName, QStringLiteral("ORBEX.exe"));
    EXPECT_TRUE(workDir.endsWith(QStringLiteral("/.quen_dara_patch/")));
}

class WindowTest : public ::testing::Test
{
protected:
    QuenDaraTranslation window;
    Ui::QuenDaraTranslationClass& ui = WindowAccess::ui(window);
};

struct WidgetCase
{
    const char* name;
    const char* className;
    const char* parentName;
};

TEST_F(WindowTest, FormHoldsEveryObjectWithItsNameAndParent)
{
    EXPECT_EQ(window.objectName(), QStringLiteral("QuenDaraTranslationClass"));
    const WidgetCase cases[] = {
        {"centralWidget", "QWidget", "QuenDaraTranslationClass"},
        {"donateLabel", "QLabel", "centralWidget"},
        {"restoreCheckbox", "QCheckBox", "centralWidget"},
        {"progressBar", "QProgressBar", "centralWidget"},
        {"layoutWidget", "QWidget", "centralWidget"},
        {"gridLayout_2", "QGridLayout", "layoutWidget"},
        {"labelGameFolder", "QLabel", "layoutWidget"},
        {"lineEditGameFolder", "QLineEdit", "layoutWidget"},
        {"toolButtonGameFolder", "QToolButton", "layoutWidget"},
        {"toolButtonFindGame", "QToolButton", "layoutWidget"},
        {"layoutWidget1", "QWidget", "centralWidget"},
        {"gridLayout", "QGridLayout", "layoutWidget1"},
        {"pushButtonEnglish_2", "QPushButton", "layoutWidget1"},
        {"pushButtonEnglish", "QPushButton", "layoutWidget1"},
        {"pushButtonRussian", "QPushButton", "layoutWidget1"},
        {"pushButtonStart", "QPushButton", "centralWidget"},
    };
    for (const auto& c : cases) {
        QObject* object = window.findChild<QObject*>(QString::fromLatin1(c.name));
        ASSERT_NE(object, nullptr) << c.name;
        EXPECT_STREQ(object->metaObject()->className(), c.className) << c.name;
        ASSERT_NE(object->parent(), nullptr) << c.name;
        EXPECT_EQ(object->parent()->objectName(), QString::fromLatin1(c.parentName)) << c.name;
    }
    EXPECT_EQ(window.centralWidget(), ui.centralWidget);
    EXPECT_EQ(ui.layoutWidget->layout(), ui.gridLayout_2);
    EXPECT_EQ(ui.layoutWidget1->layout(), ui.gridLayout);
}

TEST_F(WindowTest, WindowHasAFixedSize)
{
    EXPECT_EQ(window.size(), QSize(647, 247));
    EXPECT_EQ(window.minimumSize(), QSize(647, 247));
    EXPECT_EQ(window.maximumSize(), QSize(647, 247));
    EXPECT_EQ(window.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    EXPECT_EQ(window.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    EXPECT_FALSE(window.isAnimated());
    EXPECT_FALSE(window.documentMode());
}

TEST_F(WindowTest, GeometryOfTheWidgetsOnTheCentralWidget)
{
    EXPECT_EQ(ui.donateLabel->geometry(), QRect(460, 160, 161, 81));
    // Where the form's fonts are missing (here and under Wine) the check box's two lines do not
    // fit its place: it takes the free column left of the start button, centred where the form
    // puts it (FormFitting.KeepsWhatFitsAndFitsWhatDoesNot shows the form's own place).
    EXPECT_EQ(ui.restoreCheckbox->geometry(), QRect(10, 170, 164, 70));
    EXPECT_EQ(ui.progressBar->geometry(), QRect(11, 48, 611, 21));
    EXPECT_EQ(ui.layoutWidget->geometry(), QRect(11, 10, 611, 22));
    EXPECT_EQ(ui.layoutWidget1->geometry(), QRect(10, 80, 611, 81));
    EXPECT_EQ(ui.pushButtonStart->geometry(), QRect(180, 170, 261, 61));
}

TEST_F(WindowTest, GridLayoutsPlaceTheirCells)
{
    for (QGridLayout* grid : {ui.gridLayout_2, ui.gridLayout}) {
        EXPECT_EQ(grid->spacing(), 6);
        EXPECT_EQ(grid->contentsMargins(), QMargins(0, 0, 0, 0));
    }
    const std::pair<QWidget*, int> folderRow[] = {{ui.labelGameFolder, 0},
                                                  {ui.lineEditGameFolder, 1},
                                                  {ui.toolButtonGameFolder, 2},
                                                  {ui.toolButtonFindGame, 3}};
    for (const auto& [widget, column] : folderRow) {
        int row, col, rowSpan, colSpan;
        ui.gridLayout_2->getItemPosition(ui.gridLayout_2->indexOf(widget), &row, &col, &rowSpan,
                                         &colSpan);
        EXPECT_EQ(std::make_tuple(row, col, rowSpan, colSpan), std::make_tuple(0, column, 1, 1))
            << widget->objectName().toStdString();
    }
    const std::pair<QWidget*, int> languages[] = {
        {ui.pushButtonEnglish_2, 0}, {ui.pushButtonEnglish, 1}, {ui.pushButtonRussian, 2}};
    for (const auto& [widget, column] : languages) {
        int row, col, rowSpan, colSpan;
        ui.gridLayout->getItemPosition(ui.gridLayout->indexOf(widget), &row, &col, &rowSpan,
                                       &colSpan);
        EXPECT_EQ(std::make_tuple(row, col, rowSpan, colSpan), std::make_tuple(0, column, 1, 1))
            << widget->objectName().toStdString();
    }
}

// Under Wine these tests run on the offscreen platform, whose stand-in font keeps one size
// whatever it is asked for, so text widths mean nothing there: the Windows end-to-end test reads
// the real window's texts at four display scalings instead.
#ifndef _WIN32
// Every text shows whole with whatever fonts this system has, with room to its widget's edges:
// the check box's two lines, and the buttons' texts in the places the layout gives them.
TEST_F(WindowTest, EveryTextShowsWhole)
{
    window.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(ui.restoreCheckbox->text(), formText("Restore original on close\n(recommended)"));
    for (QAbstractButton* w : std::initializer_list<QAbstractButton*>{
             ui.restoreCheckbox, ui.pushButtonEnglish_2, ui.pushButtonEnglish, ui.pushButtonRussian,
             ui.pushButtonStart}) {
        const QFontMetrics metrics(w->font());
        const QStringList lines = w->text().split(QLatin1Char('\n'));
        int widest = 0;
        for (const QString& line : lines)
            widest = qMax(widest, metrics.horizontalAdvance(line));
        // The check box's text starts after its indicator; a button's is centred.
        const int indicator = qobject_cast<QCheckBox*>(w) ? w->sizeHint().width() - widest : 0;
        const std::string name = w->objectName().toStdString();
        EXPECT_LE(indicator + widest + 2 * 4, w->width()) << name;
        // The style draws its frame above and below the lines (less of it on Windows).
        EXPECT_LE(static_cast<int>(lines.size()) * metrics.lineSpacing() + 2, w->height()) << name;
        EXPECT_GE(w->height(), w->sizeHint().height()) << name;
        EXPECT_LE(w->sizeHint().width(), w->width()) << name;
        EXPECT_GE(w->font().pointSizeF(), 6.0) << name;
    }
    // The folder row gives its label and buttons their whole texts; the path keeps room for
    // some forty characters.
    for (QWidget* w : std::initializer_list<QWidget*>{ui.labelGameFolder, ui.toolButtonGameFolder,
                                                      ui.toolButtonFindGame}) {
        EXPECT_GE(w->width(), w->sizeHint().width()) << w->objectName().toStdString();
        EXPECT_TRUE(ui.layoutWidget->rect().contains(w->geometry()))
            << w->objectName().toStdString();
    }
    EXPECT_GE(ui.lineEditGameFolder->width(), 250);
    // The buttons stay inside their row.
    for (QWidget* b : {ui.pushButtonEnglish_2, ui.pushButtonEnglish, ui.pushButtonRussian})
        EXPECT_TRUE(ui.layoutWidget1->rect().contains(b->geometry()))
            << b->objectName().toStdString();
}

// A text that fits its place keeps the form's place and size (a Windows with the form's fonts
// shows the form exactly as it is); one that does not is fitted.
TEST(FormFitting, KeepsWhatFitsAndFitsWhatDoesNot)
{
    const std::vector<const char*> texts = {"restoreCheckbox", "pushButtonEnglish_2",
                                            "pushButtonEnglish", "pushButtonRussian",
                                            "pushButtonStart"};
    struct Look
    {
        QRect place;
        qreal size;
    };
    const auto look = [&](QMainWindow& w) {
        std::vector<Look> looks;
        for (const char* name : texts) {
            auto* widget = w.findChild<QWidget*>(QLatin1String(name));
            looks.push_back({widget->geometry(), widget->font().pointSizeF()});
        }
        return looks;
    };

    // Small fonts: everything fits, nothing moves or shrinks.
    QMainWindow small;
    Ui::QuenDaraTranslationClass smallUi;
    smallUi.setupUi(&small);
    for (const char* name : texts) {
        auto* widget = small.findChild<QWidget*>(QLatin1String(name));
        // A family that scales on every system (a missing one can end in a bitmap font).
        QFont font = smallUi.pushButtonStart->font();
        font.setPointSizeF(5);
        widget->setFont(font);
    }
    smallUi.layoutWidget1->layout()->activate();
    const std::vector<Look> before = look(small);
    fitTextsToTheirPlaces(smallUi);
    smallUi.layoutWidget1->layout()->activate();
    const std::vector<Look> after = look(small);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(after[i].place, before[i].place) << texts[i];
        EXPECT_EQ(after[i].size, before[i].size) << texts[i];
    }
    EXPECT_EQ(smallUi.restoreCheckbox->geometry(), QRect(10, 190, 141, 31));

    // The form's own fonts, which the check box's text does not fit here: fitted.
    QMainWindow form;
    Ui::QuenDaraTranslationClass formUi;
    formUi.setupUi(&form);
    const std::vector<Look> formBefore = look(form);
    fitTextsToTheirPlaces(formUi);
    EXPECT_NE(look(form)[0].place, formBefore[0].place);
}
#endif

TEST_F(WindowTest, TextsAndFonts)
{
    EXPECT_EQ(ui.restoreCheckbox->text(), formText("Restore original on close\n(recommended)"));
    EXPECT_EQ(ui.labelGameFolder->text(), formText("Game Folder:"));
    EXPECT_EQ(ui.toolButtonGameFolder->text(), formText("Browse"));
    EXPECT_EQ(ui.toolButtonFindGame->text(), formText("Find game"));
    EXPECT_EQ(ui.pushButtonEnglish_2->text(), QStringLiteral("Human + Machine\nEnglish"));
    EXPECT_EQ(ui.pushButtonEnglish->text(), QStringLiteral("Human\nEnglish"));
    EXPECT_EQ(ui.pushButtonRussian->text(), QString::fromUtf8("\xD0\xA0\xD1\x83\xD1\x81\xD1\x81"
                                                              "\xD0\xBA\xD0\xB8\xD0\xB9"));
    EXPECT_EQ(ui.pushButtonRussian->text().size(), 7);
    EXPECT_EQ(ui.pushButtonStart->text(), formText("Start the game"));
    EXPECT_EQ(ui.progressBar->format(), QStringLiteral("%p%"));

    // The form's sizes where its fonts fit; at most those where they do not (see
    // EveryTextShowsWhole and FormFitting).
    const auto formSize = [](QWidget* w, int size) {
        EXPECT_LE(w->font().pointSizeF(), size) << w->objectName().toStdString();
        EXPECT_GE(w->font().pointSizeF(), 6.0) << w->objectName().toStdString();
    };
    for (QPushButton* b : {ui.pushButtonEnglish_2, ui.pushButtonEnglish, ui.pushButtonRussian}) {
        EXPECT_EQ(b->font().family(), QStringLiteral("Segoe UI"));
        formSize(b, 20);
        EXPECT_EQ(b->font().pointSizeF(), ui.pushButtonEnglish->font().pointSizeF());
        EXPECT_TRUE(b->isCheckable());
    }
    EXPECT_EQ(ui.pushButtonStart->font().family(), QStringLiteral("Segoe UI"));
    formSize(ui.pushButtonStart, 24);
    EXPECT_FALSE(ui.pushButtonStart->autoFillBackground());
    EXPECT_EQ(ui.pushButtonRussian->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    EXPECT_EQ(ui.pushButtonRussian->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    EXPECT_EQ(ui.toolButtonGameFolder->popupMode(), QToolButton::InstantPopup);
    EXPECT_EQ(ui.toolButtonFindGame->popupMode(), QToolButton::InstantPopup);
    EXPECT_EQ(ui.toolButtonGameFolder->menu(), nullptr);
    EXPECT_FALSE(ui.lineEditGameFolder->isReadOnly());
    EXPECT_EQ(ui.progressBar->orientation(), Qt::Horizontal);
    EXPECT_EQ(ui.progressBar->textDirection(), QProgressBar::TopToBottom);
    EXPECT_TRUE(ui.progressBar->isTextVisible());
    EXPECT_EQ(ui.progressBar->value(), 0);
}

TEST_F(WindowTest, DonationLabelLinksThePictureWithoutOpeningIt)
{
    const QString text = ui.donateLabel->text();
    EXPECT_TRUE(text.startsWith(QStringLiteral("<html><head/><body><p></p><p><span style=\" "
                                               "font-size:12pt;\"/><a href=\"https://")))
        << text.toStdString();
    EXPECT_TRUE(text.endsWith(
        QStringLiteral("\"><img src=\":/QuenDaraTranslation/donate.PNG\"/></a></p></body></html>")))
        << text.toStdString();
    EXPECT_FALSE(ui.donateLabel->openExternalLinks());
    EXPECT_TRUE(QFile::exists(QStringLiteral(":/QuenDaraTranslation/donate.PNG")));
    EXPECT_EQ(QImage(QStringLiteral(":/QuenDaraTranslation/donate.PNG")).size(), QSize(154, 65));
    EXPECT_EQ(QImage(QStringLiteral(":/QuenDaraTranslation/icon.png")).size(), QSize(512, 512));
}

TEST_F(WindowTest, StartUpStatesAndTitle)
{
    EXPECT_TRUE(ui.restoreCheckbox->isChecked());
    for (QPushButton* b : {ui.pushButtonEnglish_2, ui.pushButtonEnglish, ui.pushButtonRussian}) {
        EXPECT_FALSE(b->isEnabled()) << b->objectName().toStdString();
        EXPECT_FALSE(b->isChecked()) << b->objectName().toStdString();
    }
    EXPECT_FALSE(ui.pushButtonStart->isEnabled());
    EXPECT_TRUE(ui.toolButtonFindGame->isEnabled());
    EXPECT_TRUE(ui.toolButtonGameFolder->isEnabled());
    EXPECT_EQ(window.windowTitle(),
              shown("QuenDaraTranslation", "Quen Dara Online Translation v%1.%2").arg(0).arg(4));
    EXPECT_FALSE(window.windowIcon().isNull());
    EXPECT_EQ(WindowAccess::currentLanguage(window), languageOriginal);
    EXPECT_EQ(WindowAccess::patchHashes(window), (std::array<quint64, 3>{{0, 0, 0}}));
    EXPECT_NE(WindowAccess::manifestDownloader(window), nullptr);
    EXPECT_EQ(WindowAccess::patchDownloader(window), nullptr);
    EXPECT_TRUE(QDir(workDir).exists());
}

TEST(WindowForm, KeepsAnExistingObjectName)
{
    QMainWindow named;
    named.setObjectName(QStringLiteral("already"));
    Ui::QuenDaraTranslationClass form;
    form.setupUi(&named);
    EXPECT_EQ(named.objectName(), QStringLiteral("already"));
}

TEST(WorkDirectory, ExistingDirectoryAndItsFilesAreLeftAlone)
{
    QDir().mkpath(workDir);
    QFile marker(workDir + QStringLiteral("marker.txt"));
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    marker.write("keep me");
    marker.close();
    {
        QuenDaraTranslation window;
    }
    ASSERT_TRUE(marker.open(QIODevice::ReadOnly));
    EXPECT_EQ(marker.readAll(), QByteArray("keep me"));
    marker.close();
    marker.remove();
}

TEST(WorkDirectory, IsCreatedAtStartUp)
{
    QDir(workDir).removeRecursively();
    ASSERT_FALSE(QDir(workDir).exists());
    QuenDaraTranslation window;
    EXPECT_TRUE(QDir(workDir).exists());
}

// ---- one copy at a time --------------------------------------------------------------------

TEST(InstanceLock, OneCopyAtATimeAndACrashedCopyLeavesNothingStuck)
{
    QTemporaryDir dir;
    {
        const InstanceLock first(dir.path());
        ASSERT_TRUE(first.acquired());
        EXPECT_FALSE(InstanceLock(dir.path()).acquired());
    }
    EXPECT_TRUE(InstanceLock(dir.path()).acquired());

    // Another process holds it: refused; that process killed: the next start takes it over.
    QProcess holder;
    holder.start(QStringLiteral(QDT_CONSTANTS_PROBE), {QStringLiteral("--hold-lock"), dir.path()});
    ASSERT_TRUE(holder.waitForStarted(30000));
    ASSERT_TRUE(holder.waitForReadyRead(30000));
    EXPECT_EQ(holder.readAllStandardOutput().trimmed(), QByteArray("locked"));
    EXPECT_FALSE(InstanceLock(dir.path()).acquired());
    holder.kill();
    ASSERT_TRUE(holder.waitForFinished(30000));
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("patcher.lock"))));
    EXPECT_TRUE(InstanceLock(dir.path()).acquired());

    // The killed copy's process id handed to a program that runs now (Wine's new sessions hand
    // out the same ids): what the file says does not matter, only the system's lock does.
    {
        QFile left(dir.filePath(QStringLiteral("patcher.lock")));
        ASSERT_TRUE(left.open(QIODevice::WriteOnly | QIODevice::Truncate));
        left.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n');
    }
    EXPECT_TRUE(InstanceLock(dir.path()).acquired());
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What a power cut, a crash or another program left under the lock's name never keeps the
// program from starting, and nothing is written through a link.
TEST(InstanceLock, WhateverIsLeftUnderItsNameIsTakenOverOrSetAside)
{
    struct Case
    {
        const char* what;
        std::function<void(const QString& lock, const QString& outside)> leave;
    };
    const Case cases[] = {
        {"an empty file", [](const QString& lock, const QString&) { writeFile(lock, {}); }},
        {"garbage", [](const QString& lock, const QString&) { writeFile(lock, "\x01\xff junk"); }},
        {"the id of a process that is gone",
         [](const QString& lock, const QString&) { writeFile(lock, "2147483646\nx\nhost\n"); }},
        {"the id of a process that runs (reused after a reboot)",
         [](const QString& lock, const QString&) {
             writeFile(lock, QByteArray::number(QCoreApplication::applicationPid()) + "\n");
         }},
        {"a folder", [](const QString& lock, const QString&) { QDir().mkpath(lock + "/inside"); }},
#ifndef _WIN32
        {"a link to a file elsewhere",
         [](const QString& lock, const QString& outside) { QFile::link(outside, lock); }},
        {"a second name of a file elsewhere",
         [](const QString& lock, const QString& outside) {
             ASSERT_EQ(::link(QFile::encodeName(outside).constData(),
                              QFile::encodeName(lock).constData()),
                       0);
         }},
        {"a pipe",
         [](const QString& lock, const QString&) {
             ASSERT_EQ(::mkfifo(QFile::encodeName(lock).constData(), 0600), 0);
         }},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        QTemporaryDir elsewhere;
        const QString lock = dir.filePath(QStringLiteral("patcher.lock"));
        const QString outside = elsewhere.filePath(QStringLiteral("precious"));
        writeFile(outside, "keep me");
        c.leave(lock, outside);
        {
            const InstanceLock taken(dir.path());
            EXPECT_TRUE(taken.acquired()) << taken.problem().toStdString();
            // And it holds: a second copy is refused while this one runs.
            EXPECT_EQ(InstanceLock(dir.path()).state(), InstanceLock::State::HeldByAnotherCopy);
        }
        EXPECT_EQ(readFile(outside), QByteArray("keep me"));
        EXPECT_TRUE(InstanceLock(dir.path()).acquired());
    }
}

// A work folder where no lock can be made says so, instead of claiming another copy runs.
TEST(InstanceLock, AFolderThatRefusesTheLockSaysWhy)
{
    QTemporaryDir dir;
    const QString blocked = dir.filePath(QStringLiteral("not a folder"));
    writeFile(blocked, "a file where the work folder should be");
    const InstanceLock lock(blocked + QStringLiteral("/work"));
    EXPECT_EQ(lock.state(), InstanceLock::State::CannotBeMade);
    EXPECT_FALSE(lock.problem().isEmpty());
    EXPECT_EQ(readFile(blocked), QByteArray("a file where the work folder should be"));
}

// ---- the run log ----------------------------------------------------------------------------

TEST(RunLog, KeepsTheLastRunsEachBoundedAndRecordsTheMessagesShown)
{
    QTemporaryDir dir;
    for (int run = 1; run <= 7; ++run) {
        runlog::start(dir.path());
        runlog::write(QStringLiteral("run %1").arg(run));
    }
    QStringList names = QDir(dir.path()).entryList(QDir::Files, QDir::Name);
    EXPECT_EQ(names, (QStringList{QStringLiteral("patcher.1.log"), QStringLiteral("patcher.2.log"),
                                  QStringLiteral("patcher.3.log"), QStringLiteral("patcher.4.log"),
                                  QStringLiteral("patcher.log")}));
    auto text = [&](const QString& name) {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return QString::fromUtf8(f.readAll());
    };
    EXPECT_TRUE(text(QStringLiteral("patcher.log")).contains(QStringLiteral("] run 7\n")));
    EXPECT_TRUE(text(QStringLiteral("patcher.4.log")).contains(QStringLiteral("] run 3\n")));
    EXPECT_TRUE(text(QStringLiteral("patcher.log")).contains(QStringLiteral("started")));

    // A message box shown is a line (one line, however many lines the box has).
    QTimer::singleShot(0, [] {
        if (QWidget* box = QApplication::activeModalWidget())
            box->close();
    });
    showMessage(QStringLiteral("Something went wrong.\nTry again."));
    EXPECT_TRUE(
        text(QStringLiteral("patcher.log"))
            .contains(QStringLiteral("message shown: Something went wrong. | Try again.\n")));

    // However much is written, the file stays bounded.
    for (int i = 0; i < 5000; ++i)
        runlog::write(QString(100, QLatin1Char('x')));
    const qint64 size = QFileInfo(dir.filePath(QStringLiteral("patcher.log"))).size();
    EXPECT_LE(size, 256 * 1024 + 64);
    EXPECT_TRUE(text(QStringLiteral("patcher.log"))
                    .endsWith(QStringLiteral("[log full: later lines are not kept]\n")));
}

// Whatever holds the log's name (a link or a second name of a file elsewhere, put there before the
// run or while it goes on) never receives a line: the file elsewhere stays as it was, and the
// run's lines go to a file of the log's own or nowhere.
TEST(RunLog, NeverWritesThroughALinkOrASecondName)
{
    struct Case
    {
        const char* what;
        bool symbolicLink; // else a second name (a hard link)
        QString name;      // the log name it takes
        bool duringTheRun; // put there after the run's log was started
    };
    const Case cases[] = {
        {"a second name of a file elsewhere as this run's log", false,
         QStringLiteral("patcher.log"), false},
        {"a second name of a file elsewhere as the oldest log", false,
         QStringLiteral("patcher.3.log"), false},
#ifndef _WIN32
        {"a second name of a file elsewhere put in while the program runs", false,
         QStringLiteral("patcher.log"), true},
        {"a link to a file elsewhere as this run's log", true, QStringLiteral("patcher.log"),
         false},
        {"a link to a file elsewhere as an older log", true, QStringLiteral("patcher.2.log"),
         false},
        {"a link to a file elsewhere put in while the program runs", true,
         QStringLiteral("patcher.log"), true},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const bool symbolicLink = c.symbolicLink;
        QTemporaryDir dir;
        QTemporaryDir elsewhere;
        ASSERT_TRUE(dir.isValid() && elsewhere.isValid());
        const QString outside = elsewhere.filePath(QStringLiteral("precious.txt"));
        // In the same folder tree as the log, so that a second name can be made.
        const QString sameDisk = dir.filePath(QStringLiteral("keep/precious.txt"));
        QDir().mkpath(dir.filePath(QStringLiteral("keep")));
        const QString target = symbolicLink ? outside : sameDisk;
        writeFile(target, "keep me\n");
        const QString logName = dir.filePath(c.name);
        auto leaveLink = [&] {
            QFile::remove(logName);
            if (symbolicLink) {
                ASSERT_TRUE(QFile::link(target, logName));
            } else {
                std::error_code ec;
                std::filesystem::create_hard_link(fsPath(target), fsPath(logName), ec);
                ASSERT_FALSE(ec) << ec.message();
            }
        };
        if (!c.duringTheRun)
            leaveLink();
        for (int run = 0; run < 3; ++run) {
            runlog::start(dir.path());
            if (c.duringTheRun && run == 0)
                leaveLink();
            runlog::write(QStringLiteral("a line of run %1").arg(run));
        }
        EXPECT_EQ(readFile(target), QByteArray("keep me\n"));
        // Nothing under a log's name leads elsewhere: a player attaches these files to a report.
        for (int older = 1; older <= 4; ++older) {
            const auto kind =
                qdt::entryAt(fsPath(dir.filePath(QStringLiteral("patcher.%1.log").arg(older))))
                    .kind;
            EXPECT_TRUE(kind == qdt::EntryKind::OwnFile || kind == qdt::EntryKind::Missing)
                << older;
        }
        // This run's log, if there is one, is a file of its own.
        if (!runlog::currentFile().isEmpty()) {
            EXPECT_EQ(qdt::entryAt(fsPath(runlog::currentFile())).kind, qdt::EntryKind::OwnFile);
            EXPECT_TRUE(readFile(runlog::currentFile()).contains("a line of run 2"));
        }
    }
}

// A folder (or anything else) in the place of a log neither stops the rotation nor makes a log
// grow past its cap; what was in the folder is kept.
TEST(RunLog, RotationGoesPastWhatIsInTheWayAndEveryLogStaysUnderItsCap)
{
    constexpr qint64 cap = 256 * 1024;
    const QStringList inTheWay = {QStringLiteral("patcher.4.log"), QStringLiteral("patcher.log"),
                                  QStringLiteral("patcher.2.log")};
    for (const QString& name : inTheWay) {
        SCOPED_TRACE(name.toStdString());
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        QDir().mkpath(dir.filePath(name));
        writeFile(dir.filePath(name + QStringLiteral("/inside.txt")), "a folder's content");
#ifndef _WIN32
        // And a pipe, which would hold an open for writing.
        ASSERT_EQ(
            ::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("patcher.3.log"))).constData(),
                     0600),
            0);
#endif
        for (int run = 1; run <= 7; ++run) {
            runlog::start(dir.path());
            runlog::write(QStringLiteral("run %1").arg(run));
            // Far more than a log keeps.
            for (int i = 0; i < 3000; ++i)
                runlog::write(QString(100, QLatin1Char('x')));
            QDir folder(dir.path());
            for (const QFileInfo& entry :
                 folder.entryInfoList(QStringList{QStringLiteral("patcher*.log")},
                                      QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
                SCOPED_TRACE(entry.fileName().toStdString() + " after run " + std::to_string(run));
                if (entry.isFile()) {
                    EXPECT_LE(entry.size(), cap);
                }
            }
            ASSERT_EQ(runlog::currentFile(), dir.filePath(QStringLiteral("patcher.log")));
            EXPECT_TRUE(readFile(runlog::currentFile())
                            .contains(QStringLiteral("] run %1\n").arg(run).toUtf8()));
            if (run > 1) {
                EXPECT_TRUE(readFile(dir.filePath(QStringLiteral("patcher.1.log")))
                                .contains(QStringLiteral("] run %1\n").arg(run - 1).toUtf8()));
            }
        }
        // The rotation went on: the four runs before are kept in order.
        for (int older = 1; older <= 4; ++older)
            EXPECT_TRUE(readFile(dir.filePath(QStringLiteral("patcher.%1.log").arg(older)))
                            .contains(QStringLiteral("] run %1\n").arg(7 - older).toUtf8()))
                << older;
        // The folder's content is still there, under a name of its own.
        QStringList kept;
        QDirIterator it(dir.path(), QStringList{QStringLiteral("inside.txt")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            kept << it.next();
        ASSERT_EQ(kept.size(), 1);
        EXPECT_EQ(readFile(kept.front()), QByteArray("a folder's content"));
    }
}

// ---- the window's language ------------------------------------------------------------------

TEST(UiLanguage, RussianWhenTheSystemsFirstLanguageIsRussian)
{
    const struct
    {
        QStringList languages;
        bool russian;
    } cases[] = {
        {{QStringLiteral("ru")}, true},
        {{QStringLiteral("ru-RU"), QStringLiteral("en-US")}, true},
        {{QStringLiteral("ru_RU")}, true},
        {{QStringLiteral("ru_RU.UTF-8")}, true},
        {{QStringLiteral("RU-ru")}, true},
        {{QStringLiteral("ru-UA")}, true},
        {{QStringLiteral("en-US"), QStringLiteral("ru-RU")}, false},
        {{QStringLiteral("en")}, false},
        {{QStringLiteral("uk-UA")}, false},
        {{QStringLiteral("rue")}, false},
        {{QStringLiteral("C")}, false},
        {{QString()}, false},
        {{}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(prefersRussian(c.languages), c.russian)
            << c.languages.join(QLatin1Char(',')).toStdString();
}

// The language the test run asked the system for (QDT_TEST_LANGUAGE, set by CTest) is the one the
// program finds: natively from the environment, under Wine from the Windows user's language.
TEST(UiLanguage, TheSystemsLanguageIsTheOneTheRunAskedFor)
{
    const QString asked = qEnvironmentVariable("QDT_TEST_LANGUAGE");
    if (asked.isEmpty())
        GTEST_SKIP() << "run outside CTest: no language asked for";
    ASSERT_TRUE(asked == QLatin1String("ru") || asked == QLatin1String("en"))
        << asked.toStdString();
    EXPECT_EQ(russianSystem(), asked == QLatin1String("ru"))
        << QLocale::system().uiLanguages().join(QLatin1Char(',')).toStdString();
}

bool hasCyrillic(const QString& text)
{
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.script() == QChar::Script_Cyrillic; });
}

// The key texts, as the translator gives them to the window: Russian on a Russian system (the
// form's, a message, the close question and its buttons, the progress bar's, and Qt's own
// standard buttons), the sources' English on any other.
TEST(UiLanguage, TheKeyTextsAreInTheSystemsLanguage)
{
    const std::pair<const char*, const char*> texts[] = {
        {"QuenDaraTranslationClass", "Restore original on close\n(recommended)"},
        {"QuenDaraTranslationClass", "Game Folder:"},
        {"QuenDaraTranslationClass", "Browse"},
        {"QuenDaraTranslationClass", "Find game"},
        {"QuenDaraTranslationClass", "Start the game"},
        {"QuenDaraTranslation", "Please exit the game first."},
        {"QuenDaraTranslation", "Can't connect to server."},
        {"QuenDaraTranslation", "Could not restore original files while game is running."},
        {"QuenDaraTranslation", "I'll close the game first"},
        {"QuenDaraTranslation", "Exit anyway (not recommended)"},
        {"QuenDaraTranslation", "Applying patch...success!"},
        {"QPlatformTheme", "Cancel"},
    };
    for (const auto& [context, english] : texts) {
        const QString text = QCoreApplication::translate(context, english);
        if (russianSystem()) {
            EXPECT_NE(text, QString::fromUtf8(english)) << english;
            EXPECT_TRUE(hasCyrillic(text)) << english;
            // The same lines as the English.
            EXPECT_EQ(text.count(QLatin1Char('\n')),
                      QString::fromUtf8(english).count(QLatin1Char('\n')))
                << english;
        } else {
            EXPECT_EQ(text, QString::fromUtf8(english));
        }
    }
    // The language buttons keep their labels in every language.
    QuenDaraTranslation window;
    Ui::QuenDaraTranslationClass& ui = WindowAccess::ui(window);
    EXPECT_EQ(ui.pushButtonEnglish->text(), QStringLiteral("Human\nEnglish"));
    EXPECT_EQ(ui.pushButtonEnglish_2->text(), QStringLiteral("Human + Machine\nEnglish"));
    EXPECT_EQ(ui.pushButtonRussian->text(),
              QString::fromUtf8("\u0420\u0443\u0441\u0441\u043a\u0438\u0439"));
    EXPECT_EQ(hasCyrillic(ui.pushButtonStart->text()), russianSystem());
}

// A message box as the player sees it: the text in the system's language, and Qt's own buttons
// too.
TEST(UiLanguage, AMessageBoxAndItsButtonsAreInTheSystemsLanguage)
{
    QString text;
    QStringList buttons;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        text = box->text();
        for (QAbstractButton* b : box->buttons())
            buttons << b->text();
        box->reject();
    });
    QMessageBox box;
    box.setText(QCoreApplication::translate("QuenDaraTranslation", "Please exit the game first."));
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    box.exec();
    EXPECT_EQ(text, shown("QuenDaraTranslation", "Please exit the game first."));
    EXPECT_TRUE(buttons.contains(shown("QPlatformTheme", "Cancel")))
        << buttons.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(buttons.contains(QString::fromUtf8("\u041e\u0442\u043c\u0435\u043d\u0430")),
              russianSystem())
        << buttons.join(QLatin1Char('|')).toStdString();
}

} // namespace
