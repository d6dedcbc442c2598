// Signed releases as the window meets them: with release keys in force, a manifest is used only
// when its signature verifies, its release number does not go back and it has not expired, and a
// patch only with the SHA-256 the signed manifest gives. Whatever is refused leaves the game and
// the kept patches as they were and downloads nothing.
#include "tests/distribution/WindowFixture.h"

#include <QDateTime>
#include <QPushButton>

#include "core/ReleaseCrypto.h"
#include "core/SignedRelease.h"
#include "distribution/ReleaseKeys.h"

namespace {

const QString cacheEN = QStringLiteral("patch_EN.data");
const QString cantVerify = QStringLiteral("Can't verify the list of translations from the server.");

QByteArray signatureOf(const qdt::SecretKey& key, const QByteArray& bytes)
{
    const auto signature = key.sign(reinterpret_cast<const unsigned char*>(bytes.constData()),
                                    static_cast<std::size_t>(bytes.size()));
    return QByteArray::fromStdString(
               qdt::base64Encode(signature.value.data(), signature.value.size())) +
           "\n";
}

QString hexDigest(const QByteArray& bytes)
{
    return QString::fromStdString(
        qdt::toHex(qdt::sha256(bytes.constData(), static_cast<std::size_t>(bytes.size()))));
}

class SignedRelease : public DistributionWindowTest
{
protected:
    void SetUp() override
    {
        DistributionWindowTest::SetUp();
        if (HasFatalFailure())
            return;
        auto made = qdt::SecretKey::generate();
        ASSERT_TRUE(made.ok());
        key = std::move(made.value);
        setReleaseKeys({key.publicKey()});
        patch = patchFor(11);
        server.setResponse("/en", HttpResponse::ok(patch));
        qputenv("QUEN_DARA_MANIFEST_URL", server.url("/patch.json").toEncoded());
    }

    void TearDown() override
    {
        setReleaseKeys({});
        DistributionWindowTest::TearDown();
    }

    // The manifest of a release of `patch`, as the tool writes it: its XXH64 and SHA-256 may be
    // given to stand for another file's.
    QByteArray manifestText(quint64 serial, const QString& extra = QString(),
                            const QByteArray* hashesOf = nullptr) const
    {
        const QByteArray& named = hashesOf ? *hashesOf : patch;
        return QStringLiteral("{\n    \"version\": 4,\n    \"serial\": %1,%2\n"
                              "    \"filename_EN\": \"%3\",\n    \"xxhash_EN\": %4,\n"
                              "    \"sha256_EN\": \"%5\"\n}\n")
            .arg(serial)
            .arg(extra)
            .arg(server.url("/en").toString())
            .arg(hashOf(named))
            .arg(hexDigest(named))
            .toUtf8();
    }

    void publish(const QByteArray& manifest, const QByteArray& signature)
    {
        server.setResponse("/patch.json", HttpResponse::ok(manifest));
        server.setResponse("/patch.json.sig", HttpResponse::ok(signature));
    }

    // Starts the window and waits until the manifest and its signature have been handled.
    void start()
    {
        makeWindow(true);
        WindowAccess::gamePath(*window) = gamePath;
        window->show();
        ASSERT_TRUE(QTest::qWaitFor(
            [this] { return WindowAccess::manifestDownloader(*window) == nullptr; }, 15000));
        QTest::qWait(50);
    }

    std::uint64_t keptSerial() const
    {
        return qdt::readAcceptedSerial(
            fsPath(workDir + QLatin1String(qdt::kAcceptedSerialFileName)));
    }

    qdt::SecretKey key;
    QByteArray patch;
};

TEST_F(SignedRelease, AValidReleaseAppliesAndItsNumberIsKept)
{
    const QByteArray manifest = manifestText(1000);
    publish(manifest, signatureOf(key, manifest));
    start();
    EXPECT_TRUE(boxes.seen().empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    ASSERT_TRUE(window->isVisible());
    EXPECT_EQ(server.requestCount("/patch.json.sig"), 1);
    EXPECT_EQ(keptSerial(), 1000u);

    ASSERT_TRUE(ui().pushButtonEnglish->isEnabled());
    ui().pushButtonEnglish->click();
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_TRUE(boxes.seen().empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageEnglish);
    EXPECT_EQ(readAll(archive), patchedArchive(11));
    EXPECT_EQ(readAll(workDir + cacheEN), patch);
}

TEST_F(SignedRelease, ForgedOrStaleReleasesChangeNothingAndDownloadNothing)
{
    // Each case runs against a fresh work directory and game; the kept copy of a patch from
    // before must stay as it was too.
    const QByteArray keptBefore = patchFor(12);
    const QByteArray archiveBefore = readAll(archive);
    const std::vector<std::pair<const char*, std::function<QString()>>> cases = {
        {"one byte of the manifest flipped",
         [&] {
             const QByteArray manifest = manifestText(1000);
             QByteArray flipped = manifest;
             flipped[flipped.indexOf("1000")] = '2';
             publish(flipped, signatureOf(key, manifest));
             return QStringLiteral("not signed by the translators");
         }},
        {"signed by another key",
         [&] {
             auto other = qdt::SecretKey::generate();
             const QByteArray manifest = manifestText(1000);
             publish(manifest, signatureOf(other.value, manifest));
             return QStringLiteral("not signed by the translators");
         }},
        {"no signature on the server",
         [&] {
             server.setResponse("/patch.json", HttpResponse::ok(manifestText(1000)));
             server.setResponse("/patch.json.sig", HttpResponse::error(404, "Not Found"));
             return QStringLiteral("no signature");
         }},
        {"an empty signature",
         [&] {
             publish(manifestText(1000), QByteArray());
             return QStringLiteral("no signature");
         }},
        {"a signature file larger than a signature can be",
         [&] {
             const QByteArray manifest = manifestText(1000);
             publish(manifest, signatureOf(key, manifest) + QByteArray(2048, ' '));
             return QStringLiteral("could not be downloaded");
         }},
        {"a signature that is no signature",
         [&] {
             publish(manifestText(1000), "not base64 at all\n");
             return QStringLiteral("damaged");
         }},
        {"an older release than one used before",
         [&] {
             writeAll(workDir + QLatin1String(qdt::kAcceptedSerialFileName), "2000\n");
             const QByteArray manifest = manifestText(1999);
             publish(manifest, signatureOf(key, manifest));
             return QStringLiteral("older release (number 1999)");
         }},
        {"an expired release",
         [&] {
             const QString past =
                 QString::fromStdString(qdt::formatUtc(QDateTime::currentSecsSinceEpoch() - 60));
             const QByteArray manifest =
                 manifestText(1000, QStringLiteral("\n    \"expires\": \"%1\",").arg(past));
             publish(manifest, signatureOf(key, manifest));
             return QString(QStringLiteral("expired on ") + past);
         }},
        {"a signed manifest without a release number",
         [&] {
             QByteArray manifest = manifestText(1000);
             manifest.replace("\"serial\": 1000,", "");
             publish(manifest, signatureOf(key, manifest));
             return QStringLiteral("no release number");
         }},
    };
    for (const auto& [name, arrange] : cases) {
        SCOPED_TRACE(name);
        QDir(workDir).removeRecursively();
        QDir().mkpath(workDir);
        writeAll(workDir + cacheEN, keptBefore);
        const QString reason = arrange();
        const int patchRequests = server.requestCount("/en");
        const std::size_t boxesBefore = boxes.seen().size();
        const QStringList filesBefore = QDir(workDir).entryList(QDir::Files | QDir::Hidden);
        start();
        EXPECT_FALSE(window->isVisible());
        ASSERT_EQ(boxes.seen().size(), boxesBefore + 1);
        const QString text = boxes.seen().back().text;
        EXPECT_TRUE(text.startsWith(cantVerify)) << text.toStdString();
        EXPECT_TRUE(text.contains(reason)) << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("Nothing was downloaded or changed.")))
            << text.toStdString();
        EXPECT_EQ(server.requestCount("/en"), patchRequests);
        EXPECT_EQ(readAll(archive), archiveBefore);
        EXPECT_EQ(readAll(workDir + cacheEN), keptBefore);
        // Nothing new in the work directory but the run's own log and lock.
        const QStringList filesAfter = QDir(workDir).entryList(QDir::Files | QDir::Hidden);
        for (const QString& f : filesAfter) {
            if (!filesBefore.contains(f)) {
                EXPECT_TRUE(f.startsWith(QLatin1String("patcher."))) << f.toStdString();
            }
        }
        window->hide();
        window.reset();
    }
}

TEST_F(SignedRelease, APatchThatOnlyMatchesTheSmallHashIsRefused)
{
    // The forger serves a file with the XXH64 of the real patch: the signed SHA-256 tells them
    // apart, before anything is kept or applied.
    const QByteArray forged =
        qbytes(testdata::xxh64Twin(testdata::Bytes(patch.begin(), patch.end())));
    ASSERT_EQ(hashOf(forged), hashOf(patch));
    ASSERT_NE(forged, patch);
    server.setResponse("/en", HttpResponse::ok(forged));
    const QByteArray manifest = manifestText(1000);
    publish(manifest, signatureOf(key, manifest));
    const QByteArray archiveBefore = readAll(archive);
    start();
    ASSERT_TRUE(window->isVisible());
    ui().pushButtonEnglish->click();
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(server.requestCount("/en"), 1);
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageOriginal);
    EXPECT_EQ(readAll(archive), archiveBefore);
    EXPECT_FALSE(QFile::exists(workDir + cacheEN));
    EXPECT_TRUE(QDir(workDir).entryList({QStringLiteral("patch_EN.data*")}).isEmpty());
    ASSERT_EQ(boxes.seen().size(), 1u);
    EXPECT_TRUE(boxes.seen()[0].text.contains(QStringLiteral("not the one the server announced")))
        << boxes.seen()[0].text.toStdString();
}

TEST_F(SignedRelease, AKeptPatchThatOnlyMatchesTheSmallHashIsDownloadedAnew)
{
    const QByteArray forged =
        qbytes(testdata::xxh64Twin(testdata::Bytes(patch.begin(), patch.end())));
    writeAll(workDir + cacheEN, forged);
    const QByteArray manifest = manifestText(1000);
    publish(manifest, signatureOf(key, manifest));
    start();
    ASSERT_TRUE(window->isVisible());
    // The validation does not count the forged copy as the published patch.
    EXPECT_EQ(WindowAccess::patchHashes(*window)[0], 0u);
    ui().pushButtonEnglish->click();
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_TRUE(boxes.seen().empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(server.requestCount("/en"), 1);
    EXPECT_EQ(WindowAccess::currentLanguage(*window), languageEnglish);
    EXPECT_EQ(readAll(archive), patchedArchive(11));
    EXPECT_EQ(readAll(workDir + cacheEN), patch);
}

TEST_F(SignedRelease, ALanguageWithoutASignedDigestIsNotOffered)
{
    QByteArray manifest = manifestText(1000);
    manifest.replace(QByteArray("\"sha256_EN\": \"") + hexDigest(patch).toUtf8() + "\"",
                     "\"other\": 0");
    publish(manifest, signatureOf(key, manifest));
    start();
    ASSERT_TRUE(window->isVisible());
    EXPECT_TRUE(boxes.seen().empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_FALSE(ui().pushButtonEnglish->isEnabled());
    EXPECT_EQ(server.requestCount("/en"), 0);
}

TEST_F(SignedRelease, WithoutKeysAnUnsignedManifestIsReadAsBefore)
{
    setReleaseKeys({});
    server.setResponse("/patch.json", HttpResponse::ok(manifestText(5)));
    start();
    EXPECT_TRUE(boxes.seen().empty()) << boxes.texts().join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(server.requestCount("/patch.json.sig"), 0);
    EXPECT_TRUE(ui().pushButtonEnglish->isEnabled());
}

} // namespace
