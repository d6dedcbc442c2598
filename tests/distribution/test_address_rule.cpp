// One rule for patch addresses: the publisher's tool (manifest and verify, run as real processes)
// and the program's reading of a manifest accept and refuse the same addresses, and every host
// the rule accepts is one Qt fetches under the same name.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QUrl>

#include <string>

#include <nlohmann/json.hpp>

#include "core/AddressRule.h"
#include "distribution/Manifest.h"
#include "tests/support/QtPath.h"
#include "tests/support/TestData.h"

namespace {

struct ToolRun
{
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;
};

ToolRun runTool(const QStringList& arguments)
{
    QProcess tool;
    tool.start(QStringLiteral(QDT_TOOL), arguments);
    ToolRun run;
    run.finished = tool.waitForFinished(60000);
    if (!run.finished) {
        tool.kill();
        tool.waitForFinished(10000);
    }
    run.exitCode = tool.exitCode();
    run.out = QString::fromUtf8(tool.readAllStandardOutput());
    run.err = QString::fromUtf8(tool.readAllStandardError());
    return run;
}

TEST(AddressRule, TheToolAndTheProgramAgreeOnEveryAddress)
{
    // The tool's arguments carry the addresses as UTF-8, whatever the test's locale.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    struct Case
    {
        const char* address;
        bool fetched;
    };
    const std::string longLabel(63, 'a');
    const std::string tooLongLabel(64, 'a');
    const std::string atTheLimit = "http://" + longLabel + ".example.org/p.data";
    const std::string pastTheLimit = "http://" + tooLongLabel + ".example.org/p.data";
    const Case cases[] = {
        // fetched
        {"http://example.org/p.data", true},
        {"HTTPS://Files.Example.ORG:8443/q/p.data", true},
        {"http://127.0.0.1:8080/files/p.data", true},
        {"http://localhost/p.data", true},
        {"http://[::1]:8080/p.data", true},
        {"http://[2001:DB8::1.2.3.4]/p.data", true},
        {"http://a-b--c.example.org/p.data", true},
        {"http://ä.de/p.data", true},
        {"http://Ä.de/p.data", true},
        {"http://xn--4ca.de/p.data", true},
        {"http://пример.рф/p.data", true},
        {"http://例え.jp/p.data", true},
        {"http://h:1/p.data", true},
        {"http://h:65535/p.data", true},
        {"http://h/dir%20name/p.data", true},
        {"http://h/папка/p.data", true},
        {"http://h/a[1]/p.data", true},
        {"http://h/p.data?x=1&y=%2C#top", true},
        {atTheLimit.c_str(), true},
        // refused: hosts
        {"http://files..example.org/p.data", false},
        {"http://.example.org/p.data", false},
        {"http://example.org./p.data", false},
        {"http://a$b.org/p.data", false},
        {"http://a,b.org/p.data", false},
        {"http://a'b.org/p.data", false},
        {"http://a(b).org/p.data", false},
        {"http://a*b.org/p.data", false},
        {"http://a;b.org/p.data", false},
        {"http://a=b.org/p.data", false},
        {"http://a%41b.org/p.data", false},
        {"http://a_b.org/p.data", false},
        {"http://-a.org/p.data", false},
        {"http://a-.org/p.data", false},
        {"http://ä-.de/p.data", false},
        {"http://straße.de/p.data", false},
        {"http://☃.de/p.data", false},
        {"http://xn--zz.de/p.data", false},
        {"http://xn--ä.de/p.data", false},
        {pastTheLimit.c_str(), false},
        {"http://1.2.3.256/p.data", false},
        {"http://01.2.3.4/p.data", false},
        {"http://1.2.3/p.data", false},
        {"http://example.123/p.data", false},
        {"http://[zz]/p.data", false},
        {"http://[1:2:3:4:5:6:7:8:9]/p.data", false},
        {"http://[v1.x]/p.data", false},
        {"http://[fe80::1%25eth0]/p.data", false},
        {"http:///p.data", false},
        // refused: what is around the host
        {"http://user:secret@h/p.data", false},
        {"http://h:0/p.data", false},
        {"http://h:65536/p.data", false},
        {"http://h:/p.data", false},
        {"http://h:8a/p.data", false},
        {"ftp://h/p.data", false},
        {"file:///p.data", false},
        {"http:/h/p.data", false},
        {"http://h/a b/p.data", false},
        {"http://h/a\\b/p.data", false},
        {"http://h/a\tb/p.data", false},
        {"http://h/%zz/p.data", false},
    };

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const testdata::Bytes source = testdata::makeArchive(20000, 7);
    const QString original = dir.filePath(QStringLiteral("data.lpk"));
    testdata::writeFile(fsPath(original), source);
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("release"))));
    const QString patch = dir.filePath(QStringLiteral("release/p.data"));
    testdata::writeFile(fsPath(patch), testdata::makePatch(source, testdata::translationEdits(
                                                                       source.size(), 3, 5)));
    const QString manifest = dir.filePath(QStringLiteral("release/patch.json"));

    for (const Case& c : cases) {
        const QString address = QString::fromUtf8(c.address);
        SCOPED_TRACE(c.address);

        // The program: the language is offered exactly when the address is fetched.
        const nlohmann::json read = {{"filename_EN", c.address}};
        EXPECT_EQ(!patchUrl(read, languageEnglish).isEmpty(), c.fetched) << "the program";

        // The tool's manifest (which takes KEY=URL,FILE, so no comma can be in the address).
        if (!address.contains(QLatin1Char(','))) {
            QFile::remove(manifest);
            const ToolRun made =
                runTool({QStringLiteral("manifest"), QStringLiteral("--version"),
                         QStringLiteral("0.4"), QStringLiteral("--language"),
                         QStringLiteral("en=") + address + QLatin1Char(',') + patch,
                         QStringLiteral("-o"), manifest});
            ASSERT_TRUE(made.finished);
            EXPECT_EQ(made.exitCode == 0, c.fetched) << "manifest: " << made.err.toStdString();
            if (c.fetched && made.exitCode == 0) {
                QFile written(manifest);
                ASSERT_TRUE(written.open(QIODevice::ReadOnly));
                EXPECT_FALSE(patchUrl(parseManifest(written.readAll()), languageEnglish).isEmpty())
                    << "the manifest the tool wrote";
            } else if (!c.fetched) {
                EXPECT_TRUE(made.err.contains(QStringLiteral("would not fetch")))
                    << made.err.toStdString();
            }
        }

        // The tool's verify, on a manifest that lists the address.
        {
            QFile file(manifest);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            const nlohmann::json doc = {
                {"version", 4},
                {"filename_EN", c.address},
                {"xxhash_EN", testdata::hashOf(testdata::readFile(fsPath(patch)))}};
            file.write(QByteArray::fromStdString(doc.dump()));
        }
        const ToolRun verified =
            runTool({QStringLiteral("verify"), manifest, QStringLiteral("--original"), original,
                     QStringLiteral("--files"), dir.filePath(QStringLiteral("release"))});
        ASSERT_TRUE(verified.finished);
        EXPECT_EQ(verified.exitCode == 0, c.fetched) << "verify: " << verified.out.toStdString();
        EXPECT_EQ(verified.out.contains(QStringLiteral("en (Human English): ok: p.data")),
                  c.fetched)
            << verified.out.toStdString();
        if (!c.fetched) {
            EXPECT_TRUE(verified.out.contains(QStringLiteral("FAULT: the patcher would not fetch")))
                << verified.out.toStdString();
        }
    }
}

bool qtFetches(const QString& address)
{
    return fetchable(QUrl(address, QUrl::TolerantMode));
}

// Every international letter the rule lets into a host is one Qt accepts too, and the name a
// player's program asks for is the ASCII form the rule works out (labels over 63 characters in
// that form are refused by both).
TEST(AddressRule, EveryInternationalHostItAcceptsIsOneQtFetchesUnderTheSameName)
{
    int accepted = 0;
    for (char32_t c = 0x80; c < 0x10000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        const QString letter = QString::fromUcs4(&c, 1);
        const QString labels[] = {letter, QStringLiteral("a") + letter + QStringLiteral("b"),
                                  letter + letter + letter};
        for (const QString& label : labels) {
            const QString host = label + QStringLiteral(".de");
            const QString address = QStringLiteral("http://") + host + QStringLiteral("/p.data");
            const auto ruled = qdt::checkFetchableAddress(address.toStdString());
            if (!ruled)
                continue;
            ++accepted;
            ASSERT_TRUE(qtFetches(address)) << "U+" << std::hex << static_cast<unsigned>(c);
            ASSERT_EQ(ruled.value.host, QUrl::toAce(host).toStdString())
                << "U+" << std::hex << static_cast<unsigned>(c);
            // Its ASCII form is the same host to both.
            const std::string ascii = "http://" + ruled.value.host + "/p.data";
            const auto again = qdt::checkFetchableAddress(ascii);
            ASSERT_TRUE(again) << ascii << ": " << again.status.detail;
            EXPECT_EQ(again.value.host, ruled.value.host);
            ASSERT_TRUE(qtFetches(QString::fromStdString(ascii))) << ascii;
        }
    }
    // Latin, Greek, Cyrillic, kana, ideographs and Hangul, three labels each.
    EXPECT_GT(accepted, 90000);

    for (const char* letter : {"a", "ä", "Ж", "ж", "Ω", "中", "한", "ー"}) {
        for (int length = 1; length <= 70; ++length) {
            QString label;
            for (int i = 0; i < length; ++i)
                label += QString::fromUtf8(letter);
            const QString address =
                QStringLiteral("http://") + label + QStringLiteral(".de/p.data");
            EXPECT_EQ(qdt::checkFetchableAddress(address.toStdString()).ok(), qtFetches(address))
                << letter << " x " << length;
        }
    }
}

} // namespace
