// Reading the manifest and judging its arrival, as tables: no window.
#include <gtest/gtest.h>

#include "distribution/Manifest.h"

namespace {

TEST(ManifestReading, HashesAndAddresses)
{
    const nlohmann::json manifest = {{"xxhash_EN", 18446744073709551615ull},
                                     {"xxhash_EN_M", 12.9},
                                     {"xxhash_RU", "12"},
                                     {"filename_EN", "http://127.0.0.1:9/a%20b"},
                                     {"filename_EN_M", "qrc:/x"},
                                     {"filename_RU", "https://127.0.0.1/ru"}};
    EXPECT_EQ(publishedHash(manifest, languageEnglish), 18446744073709551615ull);
    EXPECT_EQ(publishedHash(manifest, languageEnglishMachine), 12u);
    EXPECT_EQ(publishedHash(manifest, languageRussian), 0u);
    EXPECT_EQ(publishedHash(nlohmann::json::array(), languageEnglish), 0u);
    EXPECT_EQ(patchUrl(manifest, languageEnglish).path(), QStringLiteral("/a b"));
    EXPECT_TRUE(patchUrl(manifest, languageEnglishMachine).isEmpty());
    EXPECT_EQ(patchUrl(manifest, languageRussian).scheme(), QStringLiteral("https"));
    EXPECT_EQ(manifestVersion(parseManifest(QByteArray())), 0);
    EXPECT_TRUE(parseManifest("[1]").is_object());
    EXPECT_TRUE(parseManifest("[1]").empty());
}

DownloadResult answer(bool ok, const QByteArray& body,
                      DownloadFailure failure = DownloadFailure::Connection)
{
    DownloadResult r;
    r.ok = ok;
    r.data = body;
    r.error = ok ? QString() : QStringLiteral("Connection refused by 127.0.0.1");
    r.failure = ok ? DownloadFailure::None : failure;
    return r;
}

DownloadResult refused(const QString& error)
{
    DownloadResult r = answer(false, "<html>go away</html>", DownloadFailure::Refused);
    r.error = error;
    return r;
}

TEST(ManifestVerdict, TheVersionGateAndWhatTheProgramGoesOnWith)
{
    using Kind = ManifestVerdict::Kind;
    constexpr quint32 ours = (0u << 16) + 4u;
    const nlohmann::json before = {{"version", 4}, {"xxhash_EN", 7}};
    const QString notFound =
        QStringLiteral("The server answered 404 (Not Found) for http://127.0.0.1:9/patch.json.");
    struct Case
    {
        const char* what;
        DownloadResult result;
        Kind kind;
        quint32 major, minor;
        bool keepsBefore;
        bool empty;
        QString refusal = {};
    };
    const Case cases[] = {
        {"our version", answer(true, R"({"version": 4, "xxhash_EN": 9})"), Kind::Current, 0, 4,
         false, false},
        {"a lower version is too old as well", answer(true, R"({"version": 3})"), Kind::Outdated, 0,
         3, false, false},
        {"a newer major version", answer(true, R"({"version": 131077})"), Kind::Outdated, 2, 5,
         false, false},
        {"the minor number is shown from its low byte", answer(true, R"({"version": 65827})"),
         Kind::Outdated, 1, 0x23, false, false},
        {"a failed transfer, even with a manifest in its body", answer(false, R"({"version": 4})"),
         Kind::Unreachable, 0, 0, false, true},
        {"a server that stopped sending", answer(false, "", DownloadFailure::NoProgress),
         Kind::Unreachable, 0, 0, false, true},
        {"a refusal says what the server did", refused(notFound), Kind::Unreachable, 0, 0, false,
         true, notFound},
        {"an error page", answer(true, "<html>busy</html>"), Kind::Unreachable, 0, 0, false, true},
        {"a version that is no integer", answer(true, R"({"version": "4"})"), Kind::Unreachable, 0,
         0, false, false},
        {"text after a zero byte is not read",
         answer(true, QByteArray("{\"version\": 4}\0junk", 19)), Kind::Current, 0, 4, false, false},
        {"an empty answer keeps the manifest before", answer(true, ""), Kind::Current, 0, 4, true,
         false},
    };
    for (const Case& c : cases) {
        const ManifestVerdict v = judgeManifest(c.result, before, ours);
        EXPECT_EQ(v.kind, c.kind) << c.what;
        if (c.kind == Kind::Outdated) {
            EXPECT_EQ(v.latestMajor, c.major) << c.what;
            EXPECT_EQ(v.latestMinor, c.minor) << c.what;
        }
        if (c.keepsBefore)
            EXPECT_EQ(v.manifest, before) << c.what;
        else
            EXPECT_NE(v.manifest, before) << c.what;
        EXPECT_EQ(v.manifest.empty(), c.empty) << c.what;
        EXPECT_TRUE(v.manifest.is_object()) << c.what;
        EXPECT_EQ(v.refusal, c.refusal) << c.what;
    }
}

TEST(ManifestVerdict, OurVersionIsTheBuildsVersion)
{
    EXPECT_EQ(ourManifestVersion(), (quint32{QDT_VERSION_MAJOR} << 16) + QDT_VERSION_MINOR);
}

} // namespace
