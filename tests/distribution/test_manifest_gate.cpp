// The manifest as the window receives it at start-up: parsing, the version gate and its messages,
// the end of the program on a server that gives nothing usable.
#include "tests/distribution/WindowFixture.h"

#include <QElapsedTimer>
#include <QProcess>

#include <QHostAddress>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>

#include "core/Xxh64.h"
#include "distribution/Manifest.h"

namespace {

const QString cantConnect = QStringLiteral("Can't connect to server.");
const QString noGameFolder =
    QStringLiteral("Can't find a game folder, please browse to QuenDara.exe in the game folder.");

QString tooOld(int major, int minor)
{
    return QStringLiteral("Your version of the patcher is too old (last version is v%1.%2), "
                          "please download new version.")
        .arg(major)
        .arg(minor);
}

class ManifestGate : public DistributionWindowTest
{
protected:
    // Starts the window against `response` for /patch.json and waits until the manifest has been
    // handled (message boxes answered on the way).
    void start(const HttpResponse& response, bool withGamePath = true)
    {
        server.setResponse("/patch.json", response);
        qputenv("QUEN_DARA_MANIFEST_URL", server.url("/patch.json").toEncoded());
        makeWindow(true);
        WindowAccess::gamePath(*window) = withGamePath ? gamePath : QString();
        window->show();
        ASSERT_TRUE(QTest::qWaitFor(
            [this] { return WindowAccess::manifestDownloader(*window) == nullptr; }, 15000));
        QTest::qWait(50);
    }
};

struct GateCase
{
    const char* name;
    QByteArray body;
    QString message; // empty: none expected
    QString title;
    bool closes;
};

TEST_F(ManifestGate, BodiesAndVersions)
{
    const QByteArray zeroThenGarbage = QByteArray("{\"version\": 4}") + '\0' + "\x01garbage{";
    const GateCase cases[] = {
        {"version 4", R"({"version": 4})", {}, {}, false},
        {"version 4 among other keys",
         R"({"xxhash_EN": 12, "version": 4, "other": [1]})",
         {},
         {},
         false},
        {"2^32 + 4 counts as 4", R"({"version": 4294967300})", {}, {}, false},
        {"zero byte ends the text", zeroThenGarbage, {}, {}, false},
        {"whitespace after the object", "{\"version\": 4}\r\n\t ", {}, {}, false},
        {"version 4.0", R"({"version": 4.0})", cantConnect, {}, true},
        {"version as a string", R"({"version": "4"})", cantConnect, {}, true},
        {"version null", R"({"version": null})", cantConnect, {}, true},
        {"no version", R"({"filename_EN": "http://127.0.0.1:9/en"})", cantConnect, {}, true},
        {"text after the object", R"({"version": 4} trailing)", cantConnect, {}, true},
        {"garbage without a zero byte", "<html>not json</html>", cantConnect, {}, true},
        {"an array", R"([{"version": 4}])", cantConnect, {}, true},
        {"truncated", R"({"version": 4)", cantConnect, {}, true},
        {"empty body", "", cantConnect, {}, true},
        {"1 * 65536 + 5", R"({"version": 65541})", tooOld(1, 5), QStringLiteral("Old version"),
         true},
        {"version 3", R"({"version": 3})", tooOld(0, 3), QStringLiteral("Old version"), true},
        {"version 5", R"({"version": 5})", tooOld(0, 5), QStringLiteral("Old version"), true},
        {"negative", R"({"version": -1})", tooOld(65535, 255), QStringLiteral("Old version"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t seenBefore = boxes.seen().size();
        start(HttpResponse::ok(c.body));
        ASSERT_FALSE(HasFatalFailure());
        const auto& seen = boxes.seen();
        if (c.message.isEmpty()) {
            EXPECT_EQ(seen.size(), seenBefore) << seen.back().text.toStdString();
            EXPECT_TRUE(WindowAccess::manifest(*window).is_object());
            EXPECT_TRUE(WindowAccess::manifest(*window).contains("version"));
            // The game folder check ran and released the controls.
            EXPECT_EQ(WindowAccess::currentLanguage(*window), languageOriginal);
            EXPECT_FALSE(ui().pushButtonStart->isEnabled());
        } else {
            ASSERT_EQ(seen.size(), seenBefore + 1);
            EXPECT_EQ(seen.back().text, c.message);
            EXPECT_EQ(seen.back().title, c.title);
            EXPECT_EQ(seen.back().buttons.size(), 1);
        }
        EXPECT_EQ(window->isVisible(), !c.closes);
        EXPECT_EQ(ui().progressBar->value(), ui().progressBar->minimum() - 1); // reset()
        window.reset();
    }
}

TEST_F(ManifestGate, OfferedLanguagesFollowTheManifest)
{
    const QByteArray body = R"({"version": 4, "filename_EN": "http://127.0.0.1:9/en.data",
        "filename_EN_M": "", "filename_RU": "file:///etc/hostname"})";
    start(HttpResponse::ok(body));
    EXPECT_TRUE(boxes.seen().empty());
    EXPECT_TRUE(ui().pushButtonEnglish->isEnabled());
    EXPECT_FALSE(ui().pushButtonEnglish_2->isEnabled());
    EXPECT_FALSE(ui().pushButtonRussian->isEnabled());
}

// A release made with the command-line tool: the manifest it writes is read as written, and its
// languages (one left out) are offered.
TEST_F(ManifestGate, ManifestWrittenByTheToolIsReadAndItsLanguagesOffered)
{
    QTemporaryDir release;
    ASSERT_TRUE(release.isValid());
    const testdata::Bytes source = testdata::makeArchive(30000, 8);
    QStringList arguments = {QStringLiteral("manifest"), QStringLiteral("--version"),
                             QStringLiteral("0.4")};
    struct Listed
    {
        Languages language;
        QString option;
        QString address;
        testdata::Bytes patch;
    };
    std::vector<Listed> listed = {
        {languageEnglish, QStringLiteral("en"), server.url("/files/patch_EN.data").toString(), {}},
        {languageRussian,
         QStringLiteral("ru"),
         server.url("/redirect/patch_RU.data").toString(),
         {}}};
    int seed = 0;
    for (auto& l : listed) {
        l.patch = testdata::makePatch(
            source, testdata::translationEdits(source.size(), 5, static_cast<unsigned>(++seed)));
        const QString file = release.filePath(QStringLiteral("patch_%1.data").arg(l.option));
        testdata::writeFile(fsPath(file), l.patch);
        arguments << QStringLiteral("--language") << l.option + '=' + l.address + ',' + file;
    }
    arguments << QStringLiteral("-o") << release.filePath(QStringLiteral("patch.json"));
    QProcess tool;
    tool.start(QStringLiteral(QDT_TOOL), arguments);
    ASSERT_TRUE(tool.waitForFinished(60000));
    ASSERT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();

    QFile written(release.filePath(QStringLiteral("patch.json")));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QByteArray body = written.readAll();
    const nlohmann::json manifest = parseManifest(body);
    EXPECT_EQ(manifestVersion(manifest), 4);
    for (const auto& l : listed) {
        EXPECT_EQ(patchUrl(manifest, l.language).toString(), l.address);
        EXPECT_EQ(publishedHash(manifest, l.language), qdt::xxh64(l.patch.data(), l.patch.size()));
    }
    EXPECT_TRUE(patchUrl(manifest, languageEnglishMachine).isEmpty());

    start(HttpResponse::ok(body));
    EXPECT_TRUE(boxes.seen().empty());
    EXPECT_TRUE(ui().pushButtonEnglish->isEnabled());
    EXPECT_FALSE(ui().pushButtonEnglish_2->isEnabled());
    EXPECT_TRUE(ui().pushButtonRussian->isEnabled());
}

TEST_F(ManifestGate, OnlyAVersionOffersNoLanguage)
{
    start(HttpResponse::ok(R"({"version": 4})"));
    EXPECT_TRUE(boxes.seen().empty());
    EXPECT_FALSE(ui().pushButtonEnglish->isEnabled());
    EXPECT_FALSE(ui().pushButtonEnglish_2->isEnabled());
    EXPECT_FALSE(ui().pushButtonRussian->isEnabled());
    EXPECT_TRUE(window->isVisible());
}

TEST_F(ManifestGate, NoGamePathAsksForTheFolderAndStaysOpen)
{
    start(HttpResponse::ok(R"({"version": 4, "filename_EN": "http://127.0.0.1:9/en"})"), false);
    ASSERT_EQ(boxes.seen().size(), 1u);
    EXPECT_EQ(boxes.seen().back().text, noGameFolder);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(ui().pushButtonEnglish->isEnabled());
    EXPECT_FALSE(ui().pushButtonStart->isEnabled());
}

// A server that answers but refuses ends the program too; the message then says, on a line of its
// own, what the server did.
TEST_F(ManifestGate, UnusableAnswersEndTheProgram)
{
    // A valid manifest behind an error status, redirects to it, and one padded past the size
    // bound.
    HttpResponse notFound = HttpResponse::error(404, R"({"version": 4})");
    HttpResponse huge = HttpResponse::ok(R"({"version": 4, "pad": ")" +
                                         QByteArray(int(kMaxManifestBytes), 'p') + "\"}");
    HttpResponse hugeUnannounced = huge;
    hugeUnannounced.contentLength = -1;
    const QString tooLarge =
        QStringLiteral("The file at %1 is larger than the 1 MB this program accepts.");
    struct Case
    {
        const char* name;
        HttpResponse response;
        QString said; // the second line; %1: the manifest's address
    };
    const Case cases[] = {
        {"404 with a manifest body", notFound,
         QStringLiteral("The server answered 404 (Not Found) for %1.")},
        {"403", HttpResponse::error(403, "<html>no</html>"),
         QStringLiteral("The server answered 403 (Forbidden) for %1.")},
        {"over 1 MiB", huge, tooLarge},
        {"over 1 MiB without a length", hugeUnannounced, tooLarge},
        {"a redirect to ftp", HttpResponse::redirect("ftp://127.0.0.1/patch.json"),
         QStringLiteral("The server at %1 sent the download on to \"ftp://127.0.0.1/patch.json\", "
                        "which is not an http or https address.")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.seen();
        const std::size_t before = boxes.seen().size();
        start(c.response);
        ASSERT_EQ(boxes.seen().size(), before + 1);
        EXPECT_EQ(boxes.seen().back().text, cantConnect + QLatin1Char('\n') +
                                                c.said.arg(server.url("/patch.json").toString()));
        EXPECT_FALSE(window->isVisible());
        window.reset();
    }
}

// A server that never stops sending is no manifest server: the program says so, and the transfer
// ends with the size bound, not at the program's end.
TEST_F(ManifestGate, EndlessAnswerIsCutOffAtTheManifestBound)
{
    struct Case
    {
        const char* name;
        bool chunked;
    };
    const Case cases[] = {{"chunked", true}, {"without a length", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpServer endless;
        ASSERT_TRUE(endless.listen());
        HttpResponse r = HttpResponse::ok(R"({"version": 4, "pad": ")" + QByteArray(16000, 'p'));
        r.delivery = HttpResponse::Delivery::Endless;
        r.chunked = c.chunked;
        r.contentLength = -1;
        endless.setResponse("/patch.json", r);
        qputenv("QUEN_DARA_MANIFEST_URL", endless.url("/patch.json").toEncoded());
        const std::size_t before = boxes.seen().size();
        makeWindow(true);
        WindowAccess::gamePath(*window) = gamePath;
        window->show();
        ASSERT_TRUE(QTest::qWaitFor(
            [this] { return WindowAccess::manifestDownloader(*window) == nullptr; }, 15000));
        ASSERT_EQ(boxes.seen().size(), before + 1);
        EXPECT_EQ(boxes.seen().back().text,
                  cantConnect + QStringLiteral("\nThe file at %1 is larger than the 1 MB this "
                                               "program accepts.")
                                    .arg(endless.url("/patch.json").toString()));
        EXPECT_FALSE(window->isVisible());
        // The window still exists: the transfer ended because of the bound. The client closes
        // the connection; under Wine the socket has been seen to stay open for a while, with no
        // byte read from it any more, which stops the transfer all the same.
        qint64 last = -1;
        QElapsedTimer quiet;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                if (endless.closedByClient("/patch.json") == 1)
                    return true;
                const qint64 now = endless.bytesSent("/patch.json");
                if (now != last) {
                    last = now;
                    quiet.start();
                }
                return quiet.elapsed() >= 2000; // nothing sent for 2 s
            },
            20000))
            << endless.bytesSent("/patch.json") << " bytes sent";
        const qint64 sent = endless.bytesSent("/patch.json");
        EXPECT_GT(sent, kMaxManifestBytes);
        EXPECT_LT(sent, kMaxManifestBytes + (64 << 20));
        window.reset();
    }
}

TEST_F(ManifestGate, ManifestBehindRedirectsIsRead)
{
    server.setResponse("/moved", HttpResponse::redirect("/patch.json"));
    server.setResponse("/patch.json", HttpResponse::ok(R"({"version": 4})"));
    qputenv("QUEN_DARA_MANIFEST_URL", server.url("/moved").toEncoded());
    makeWindow(true);
    WindowAccess::gamePath(*window) = gamePath;
    window->show();
    ASSERT_TRUE(QTest::qWaitFor(
        [this] { return WindowAccess::manifestDownloader(*window) == nullptr; }, 15000));
    EXPECT_TRUE(boxes.seen().empty());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(server.requestCount("/patch.json"), 1);
}

TEST_F(ManifestGate, ProgressIsShownWhileTheManifestArrives)
{
    HttpResponse slow =
        HttpResponse::ok(R"({"version": 4, "pad": ")" + QByteArray(4000, 'p') + "\"}");
    slow.chunkSize = 1000;
    slow.chunkDelayMs = 150;
    server.setResponse("/patch.json", slow);
    qputenv("QUEN_DARA_MANIFEST_URL", server.url("/patch.json").toEncoded());
    makeWindow(true);
    WindowAccess::gamePath(*window) = gamePath;
    window->show();
    QStringList texts;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QString text = ui().progressBar->text();
            if (!text.isEmpty() && (texts.isEmpty() || texts.back() != text))
                texts << text;
            return WindowAccess::manifestDownloader(*window) == nullptr;
        },
        15000));
    const QRegularExpression shown(QStringLiteral(R"(^Getting patch info\.\.\.(\d+)%$)"));
    int matches = 0;
    for (const QString& text : texts)
        matches += shown.match(text).hasMatch() ? 1 : 0;
    EXPECT_GE(matches, 2) << texts.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(ui().progressBar->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);
    EXPECT_TRUE(boxes.seen().empty());
    EXPECT_TRUE(window->isVisible());
}

TEST_F(ManifestGate, RefusedConnectionEndsTheProgram)
{
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress(QHostAddress::LocalHost), 0));
    const QByteArray url =
        "http://127.0.0.1:" + QByteArray::number(closed.serverPort()) + "/patch.json";
    closed.close();
    qputenv("QUEN_DARA_MANIFEST_URL", url);
    makeWindow(true);
    window->show();
    ASSERT_TRUE(QTest::qWaitFor(
        [this] { return WindowAccess::manifestDownloader(*window) == nullptr; }, 15000));
    ASSERT_EQ(boxes.seen().size(), 1u);
    EXPECT_EQ(boxes.seen().back().text, cantConnect);
    EXPECT_FALSE(window->isVisible());
}

} // namespace
