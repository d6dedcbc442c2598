// Where a language's patch comes from, what a finished download is worth, keeping it, and the
// progress bar meanwhile, as tables: no window, real files in a temporary folder.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "distribution/ByteSize.h"
#include "distribution/Manifest.h"
#include "distribution/PatchSource.h"

namespace {

const QByteArray kPatch("PTCH patch bytes of the published version");
const QByteArray kOldPatch("PTCH patch bytes of an older version");

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(PatchSource, KeptCopyOrDownloadOrNothing)
{
    using Source = PatchChoice::Source;
    const quint64 published = patchHash(kPatch);
    const quint64 old = patchHash(kOldPatch);
    const nlohmann::json manifest = {{"xxhash_EN", published},
                                     {"filename_EN", "http://127.0.0.1:9/en.data"}};
    struct Case
    {
        const char* what;
        nlohmann::json manifest;
        const QByteArray* onDisk; // nullptr: no kept file
        quint64 known;
        Source source;
        quint64 knownAfter;
    };
    const Case cases[] = {
        {"the kept copy is the published one", manifest, &kPatch, published, Source::Kept,
         published},
        {"the kept copy was altered since it was hashed", manifest, &kOldPatch, published,
         Source::Download, 0},
        {"the kept copy is gone", manifest, nullptr, published, Source::Download, 0},
        {"a new version is published", manifest, &kOldPatch, old, Source::Download, old},
        {"nothing known about the kept copy", manifest, &kPatch, 0, Source::Download, 0},
        {"no hash published: always fetched",
         {{"filename_EN", "https://127.0.0.1:9/en.data"}},
         &kPatch,
         published,
         Source::Download,
         published},
        {"no address", {{"xxhash_EN", published}}, nullptr, 0, Source::NotOffered, 0},
        {"an address the program does not fetch",
         {{"xxhash_EN", published}, {"filename_EN", "file:///etc/passwd"}},
         nullptr,
         0,
         Source::NotOffered,
         0},
    };
    for (const Case& c : cases) {
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString folder = dir.path() + QLatin1Char('/');
        if (c.onDisk)
            writeFile(folder + patchFileName(languageEnglish), *c.onDisk);
        const PatchChoice choice = choosePatch(languageEnglish, c.manifest, c.known, folder);
        EXPECT_EQ(choice.source, c.source) << c.what;
        EXPECT_EQ(choice.knownHash, c.knownAfter) << c.what;
        EXPECT_EQ(choice.published, publishedHash(c.manifest, languageEnglish)) << c.what;
        if (c.source == Source::Kept)
            EXPECT_EQ(choice.bytes, *c.onDisk) << c.what;
        else
            EXPECT_TRUE(choice.bytes.isEmpty()) << c.what;
        if (c.source == Source::Download)
            EXPECT_EQ(choice.url, patchUrl(c.manifest, languageEnglish)) << c.what;
        else
            EXPECT_TRUE(choice.url.isEmpty()) << c.what;
    }
}

TEST(PatchSource, OnlyTheAnnouncedFileIsUsable)
{
    using Kind = PatchDownloadVerdict::Kind;
    const QUrl url(QStringLiteral("http://127.0.0.1:9/en.data"));
    const QUrl moved(QStringLiteral("http://127.0.0.1:9/mirror/en.data"));
    const quint64 published = patchHash(kPatch);
    const QString tooLarge = QStringLiteral(
        "The file at http://127.0.0.1:9/en.data is larger than the 1024 MB this program accepts.");
    struct Case
    {
        const char* what;
        bool ok;
        QByteArray body;
        quint64 published;
        Kind kind;
        QString detail; // exactly
        DownloadFailure failure = DownloadFailure::None;
        QString error = {}; // the downloader's
        int httpStatus = 0;
        QString httpReason = {};
        QUrl finalUrl = {};
    };
    const QString closed = QStringLiteral("Connection closed");
    const Case cases[] = {
        {"the announced file", true, kPatch, published, Kind::Usable, {}},
        {"no hash announced", true, kOldPatch, 0, Kind::Usable, {}},
        {"another file than announced", true, kOldPatch, published, Kind::NotAnnounced, {}},
        {"an empty answer", true, QByteArray(), published, Kind::Refused,
         QStringLiteral("The server sent an empty file for http://127.0.0.1:9/en.data.")},
        {"a failed transfer, even of the right bytes", false, kPatch, published, Kind::Failed,
         closed, DownloadFailure::Connection, closed},
        {"the downloader found the file is not the published one",
         false,
         kPatch,
         published,
         Kind::NotAnnounced,
         {},
         DownloadFailure::Mismatch,
         QStringLiteral("hash differs")},
        {"the disk refused the file", false, kPatch, published, Kind::NotStored, closed,
         DownloadFailure::Storage, closed},
        {"404",
         false,
         {},
         published,
         Kind::Refused,
         QStringLiteral("The server answered 404 (Not Found) for http://127.0.0.1:9/en.data: the "
                        "translation is not there."),
         DownloadFailure::Refused,
         QStringLiteral("404"),
         404,
         QStringLiteral("Not Found"),
         url},
        {"403 after a redirect names the address that answered",
         false,
         {},
         published,
         Kind::Refused,
         QStringLiteral("The server answered 403 (Forbidden) for "
                        "http://127.0.0.1:9/mirror/en.data: it does not let the translation be "
                        "downloaded."),
         DownloadFailure::Refused,
         QStringLiteral("403"),
         403,
         QStringLiteral("Forbidden"),
         moved},
        {"500 without a phrase",
         false,
         {},
         published,
         Kind::Refused,
         QStringLiteral("The server answered 500 for http://127.0.0.1:9/en.data: it has a problem "
                        "of its own."),
         DownloadFailure::Refused,
         QStringLiteral("500"),
         500},
        {"503",
         false,
         {},
         published,
         Kind::Refused,
         QStringLiteral("The server answered 503 (Service Unavailable) for "
                        "http://127.0.0.1:9/en.data: it is too busy or down for the moment."),
         DownloadFailure::Refused,
         QStringLiteral("503"),
         503,
         QStringLiteral("Service Unavailable"),
         url},
        {"another status",
         false,
         {},
         published,
         Kind::Refused,
         QStringLiteral("The server answered 400 (Bad Request) for http://127.0.0.1:9/en.data: "
                        "it did not send the translation."),
         DownloadFailure::Refused,
         QStringLiteral("400"),
         400,
         QStringLiteral("Bad Request"),
         url},
        {"a refusal without a status says what the downloader saw",
         false,
         {},
         published,
         Kind::Refused,
         tooLarge,
         DownloadFailure::Refused,
         tooLarge},
        {"no real progress",
         false,
         {},
         published,
         Kind::NoProgress,
         QStringLiteral("The server stopped sending the patch from http://127.0.0.1:9/en.data, or "
                        "sends it too slowly."),
         DownloadFailure::NoProgress,
         QStringLiteral("stopped\nThe download was tried 4 times.")},
    };
    for (const Case& c : cases) {
        DownloadResult result;
        result.ok = c.ok;
        result.data = c.body;
        result.error = c.error;
        result.failure = c.failure;
        result.httpStatus = c.httpStatus;
        result.httpReason = c.httpReason;
        result.finalUrl = c.finalUrl;
        const PatchDownloadVerdict v = judgePatchDownload(result, c.published, std::nullopt, url);
        EXPECT_EQ(v.kind, c.kind) << c.what;
        EXPECT_EQ(v.detail, c.detail) << c.what;
        EXPECT_EQ(v.hash, patchHash(c.body)) << c.what;
    }
}

TEST(ByteSize, MegabytesForPlayers)
{
    const std::pair<qint64, const char*> cases[] = {
        {qint64(1) << 30, "1024 MB"}, {1 << 20, "1 MB"},
        {3 << 19, "1.5 MB"},          {25 << 20, "25 MB"},
        {(10 << 20) - 1, "10 MB"},    {100 * 1024, "0.098 MB"},
        {1000, "0.00095 MB"},         {0, "0 MB"},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(megabytes(bytes), QString::fromUtf8(text)) << bytes;
}

TEST(PatchSource, KeepingACopyReplacesTheOldOneWholeOrNotAtAll)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.path() + QLatin1Char('/');
    const QString kept = folder + patchFileName(languageRussian);

    writeFile(kept, kOldPatch);
    EXPECT_EQ(keepPatch(languageRussian, kPatch, folder), patchHash(kPatch));
    EXPECT_EQ(readFile(kept), kPatch);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 1) << "no temporary file stays";

    // Nothing to keep: the copy before stays, and nothing is known of the new one.
    EXPECT_EQ(keepPatch(languageRussian, QByteArray(), folder), 0u);
    EXPECT_EQ(readFile(kept), kPatch);
    EXPECT_EQ(keepPatch(languageOriginal + 1, kPatch, folder), 0u);

    // A folder that can't take the file: not kept, and not counted as kept.
    EXPECT_EQ(keepPatch(languageRussian, kPatch, folder + QStringLiteral("missing/")), 0u);
    const QString blocked = folder + patchFileName(languageEnglish);
    ASSERT_TRUE(QDir().mkpath(blocked + QStringLiteral("/inside")));
    EXPECT_EQ(keepPatch(languageEnglish, kPatch, folder), 0u);
    EXPECT_TRUE(QFileInfo(blocked + QStringLiteral("/inside")).isDir());
}

TEST(PatchSource, UnfinishedDownloadsThatCanNoLongerBeContinuedAreDropped)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.path() + QLatin1Char('/');
    const QString en = QStringLiteral("http://127.0.0.1:9/en.data");
    const QString enM = QStringLiteral("http://127.0.0.1:9/en_m.data");
    const QString ru = QStringLiteral("http://127.0.0.1:9/ru.data");
    const nlohmann::json manifest = {{"xxhash_EN", 0x11},
                                     {"filename_EN", en.toStdString()},
                                     {"xxhash_EN_M", 0x22},
                                     {"filename_EN_M", enM.toStdString()}};
    // What an unfinished download leaves: the bytes so far and a record of what they belong to.
    const auto leave = [&](Languages lang, const QString& address, quint64 published) {
        const QString kept = folder + patchFileName(lang) + QStringLiteral(".partial");
        writeFile(kept, QByteArray(1000, 'p'));
        writeFile(kept + QStringLiteral(".json"),
                  QStringLiteral("{\"kind\":\"quen-dara-partial-download\",\"version\":1,"
                                 "\"address\":\"%1\",\"published\":\"%2\",\"validator\":"
                                 "\"\\\"v1\\\"\",\"total\":5000}")
                      .arg(address)
                      .arg(published, 16, 16, QLatin1Char('0'))
                      .toUtf8());
        writeFile(folder + patchFileName(lang), "a kept patch");
    };
    leave(languageEnglish, en, 0x11);         // still published: it stays
    leave(languageEnglishMachine, enM, 0x99); // a new version is published since
    leave(languageRussian, ru, 0x33);         // no longer offered
    dropStalePartialDownloads(manifest, folder);

    QStringList left = QDir(folder).entryList(QDir::Files);
    left.sort();
    EXPECT_EQ(left,
              (QStringList{QStringLiteral("patch_EN.data"), QStringLiteral("patch_EN.data.partial"),
                           QStringLiteral("patch_EN.data.partial.json"),
                           QStringLiteral("patch_EN_M.data"), QStringLiteral("patch_RU.data")}));
    EXPECT_EQ(readFile(folder + QStringLiteral("patch_EN.data.partial")), QByteArray(1000, 'p'));
}

TEST(PatchSource, ProgressBarDuringADownload)
{
    constexpr qint64 second = 1'000'000'000;
    struct Case
    {
        const char* what;
        qint64 received, total, arrived, elapsed;
        int shown;
        bool update;
        int maximum, value;
        const char* format;
    };
    const Case cases[] = {
        {"a known length moves the bar", 2 << 20, 8 << 20, 2 << 20, 2 * second, 0, true, 8 << 20,
         2 << 20, "Downloading the patch...%p% (1 Mb/sec)"},
        {"nothing new: the bar stays", 2 << 20, 8 << 20, 2 << 20, 3 * second, 2 << 20, false,
         8 << 20, 0, ""},
        {"bytes kept from before count for the bar, not for the speed", 6 << 20, 8 << 20, 1 << 20,
         second, 5 << 20, true, 8 << 20, 6 << 20, "Downloading the patch...%p% (1 Mb/sec)"},
        {"a file that changed on the server starts the bar over", 1 << 20, 8 << 20, 7 << 20,
         7 * second, 6 << 20, true, 8 << 20, 1 << 20, "Downloading the patch...%p% (1 Mb/sec)"},
        {"an unknown length goes round and says how much came", 3 << 19, 0, 3 << 19, second, 0,
         true, 100, 96, "Downloading the patch...1.50 Mb (1.5 Mb/sec)"},
        {"an unknown length starts over after a turn", (101 << 14) + (5 << 14), -1,
         (101 << 14) + (5 << 14), 4 * second, 50, true, 100, 5,
         "Downloading the patch...1.66 Mb (0.414 Mb/sec)"},
    };
    for (const Case& c : cases) {
        const DownloadProgressView v =
            downloadProgressView(c.received, c.total, c.arrived, c.elapsed, c.shown);
        EXPECT_EQ(v.update, c.update) << c.what;
        EXPECT_EQ(v.maximum, c.maximum) << c.what;
        if (c.update) {
            EXPECT_EQ(v.value, c.value) << c.what;
            EXPECT_EQ(v.format, QString::fromUtf8(c.format)) << c.what;
        }
    }
}

TEST(DownloadSpeed, AverageOverWholeSecondsAndTheFirstSecond)
{
    struct Case
    {
        qint64 bytes;
        qint64 ns;
        double speed;
    };
    const Case cases[] = {
        {5 << 20, 2'900'000'000, 2.5},                    // 2.9 s count as 2
        {3 << 20, 3'000'000'000, 1.0}, {1 << 20, 0, 1.0}, // first second: counts as one second
        {1 << 19, 999'999'999, 0.5},   {0, 5'000'000'000, 0.0},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(downloadSpeed(c.bytes, c.ns), c.speed) << c.bytes << " " << c.ns;
    EXPECT_EQ(downloadProgressFormat(12.345),
              QStringLiteral("Downloading the patch...%p% (12.3 Mb/sec)"));
    EXPECT_EQ(downloadProgressFormat(2.5),
              QStringLiteral("Downloading the patch...%p% (2.5 Mb/sec)"));
    EXPECT_EQ(downloadProgressFormat(0), QStringLiteral("Downloading the patch...%p% (0 Mb/sec)"));
    EXPECT_EQ(downloadResumingFormat(2, 6),
              QStringLiteral("Connection lost, resuming... (attempt 2 of 6)"));
    EXPECT_EQ(downloadBusyFormat(3 << 19, 0.25),
              QStringLiteral("Downloading the patch...1.50 Mb (0.25 Mb/sec)"));
}

} // namespace
