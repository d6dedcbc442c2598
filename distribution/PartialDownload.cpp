#include "distribution/PartialDownload.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include "core/FileIo.h"
#include "core/Xxh64.h"
#include "distribution/ByteSize.h"
#include "patching/PatchFormat.h"

namespace {

// Marks our records: a file of another program under the same name is foreign, not ours to trust.
const QString kRecordKind = QStringLiteral("quen-dara-partial-download");
constexpr int kRecordVersion = 1;
// The largest total a record may announce: a patch is never larger.
constexpr qint64 kMaxKeptTotal = static_cast<qint64>(qdt::kMaxPatchSize);

std::filesystem::path fsPath(const QString& path)
{
    return qdt::pathFromUtf8(path.toUtf8().toStdString());
}

QString tr(const char* text)
{
    return QCoreApplication::translate("PartialDownload", text);
}

QString hex(quint64 value)
{
    return QStringLiteral("%1").arg(value, 16, 16, QLatin1Char('0'));
}

// A plain file of our own, not a link that could lead our writes into a file the player owns.
bool plainFile(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() && !info.isSymLink() && info.isFile();
}

} // namespace

PartialDownload::PartialDownload(const QString& finalPath)
    : finalPath_(finalPath), partialPath_(partialPathFor(finalPath)),
      recordPath_(recordPathFor(finalPath))
{
}

PartialDownload::~PartialDownload()
{
    close();
}

QString PartialDownload::partialPathFor(const QString& finalPath)
{
    return finalPath + QStringLiteral(".partial");
}

QString PartialDownload::recordPathFor(const QString& finalPath)
{
    return finalPath + QStringLiteral(".partial.json");
}

qint64 PartialDownload::kept(const QUrl& address, quint64 published, PartialIdentity* identity)
{
    close();
    QFile record(recordPath_);
    const bool recordExists = QFileInfo::exists(recordPath_) || QFileInfo(recordPath_).isSymLink();
    const bool partialExists =
        QFileInfo::exists(partialPath_) || QFileInfo(partialPath_).isSymLink();
    if (!recordExists && !partialExists)
        return 0;
    PartialIdentity found;
    bool usable = false;
    if (plainFile(recordPath_) && record.size() < 64 * 1024 && record.open(QIODevice::ReadOnly)) {
        QJsonParseError parsed;
        const QJsonObject o = QJsonDocument::fromJson(record.readAll(), &parsed).object();
        record.close();
        bool hashOk = false;
        found.address = QUrl(o.value(QStringLiteral("address")).toString(), QUrl::StrictMode);
        found.published = o.value(QStringLiteral("published")).toString().toULongLong(&hashOk, 16);
        found.validator = o.value(QStringLiteral("validator")).toString().toLatin1();
        // A number from the disk: only a whole size a patch may have is taken, never one whose
        // conversion would overflow.
        const double total = o.value(QStringLiteral("total")).toDouble(-1);
        found.total = total >= 1 && total <= static_cast<double>(kMaxKeptTotal) &&
                              total == static_cast<double>(static_cast<qint64>(total))
                          ? static_cast<qint64>(total)
                          : -1;
        const qint64 size = plainFile(partialPath_) ? QFileInfo(partialPath_).size() : -1;
        usable = parsed.error == QJsonParseError::NoError &&
                 o.value(QStringLiteral("kind")).toString() == kRecordKind &&
                 o.value(QStringLiteral("version")).toInt() == kRecordVersion && hashOk &&
                 published != 0 && found.published == published && found.address == address &&
                 !found.validator.isEmpty() && found.total > 0 && size > 0 && size < found.total;
        if (usable) {
            size_ = size;
            if (identity)
                *identity = found;
            return size;
        }
    }
    discard();
    return 0;
}

bool PartialDownload::writeRecord(const PartialIdentity& identity, QString* error)
{
    QJsonObject o;
    o.insert(QStringLiteral("kind"), kRecordKind);
    o.insert(QStringLiteral("version"), kRecordVersion);
    o.insert(QStringLiteral("address"), identity.address.toString(QUrl::FullyEncoded));
    o.insert(QStringLiteral("published"), hex(identity.published));
    o.insert(QStringLiteral("validator"), QString::fromLatin1(identity.validator));
    o.insert(QStringLiteral("total"), static_cast<double>(identity.total));
    const QByteArray text = QJsonDocument(o).toJson();
    // Written whole or not at all: a record cut short by a crash would be read as foreign, which
    // is safe, but a torn record that still parses must never exist.
    const qdt::Status written = qdt::writeFileAtomically(fsPath(recordPath_), text.constData(),
                                                         static_cast<std::size_t>(text.size()));
    if (!written.ok() && error)
        *error = tr("Can't write %1: %2").arg(recordPath_, QString::fromStdString(written.detail));
    return written.ok();
}

bool PartialDownload::restart(const PartialIdentity& identity, QString* error)
{
    // The record describing the old bytes goes before the bytes change, so that no moment exists
    // in which a record vouches for bytes of another version.
    inTheWay_ = false;
    discard();
    if (QFileInfo::exists(partialPath_) || QFileInfo(partialPath_).isSymLink()) {
        // Not a matter of disk space: the player has to move what is there.
        if (error)
            *error = tr("Can't replace %1: %2 of that name is in the way.")
                         .arg(partialPath_,
                              QFileInfo(partialPath_).isDir() ? tr("a folder") : tr("something"));
        inTheWay_ = true;
        return false;
    }
    file_ = std::make_unique<QFile>(partialPath_);
    // A new file only: whatever appeared under the name since is not written through.
    if (!file_->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        if (error)
            *error = tr("Can't create %1: %2").arg(partialPath_, file_->errorString());
        file_.reset();
        return false;
    }
    size_ = 0;
    if (!identity.validator.isEmpty() && identity.total > 0 && identity.published != 0) {
        if (!writeRecord(identity, error)) {
            discard();
            return false;
        }
    }
    return true;
}

bool PartialDownload::reopen(qint64 expectedSize, QString* error)
{
    close();
    if (!plainFile(partialPath_) || QFileInfo(partialPath_).size() != expectedSize) {
        if (error)
            *error = tr("%1 changed while the download waited.").arg(partialPath_);
        return false;
    }
    file_ = std::make_unique<QFile>(partialPath_);
    if (!file_->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly |
                     QIODevice::Unbuffered)) {
        if (error)
            *error = tr("Can't open %1: %2").arg(partialPath_, file_->errorString());
        file_.reset();
        return false;
    }
    size_ = file_->size();
    return size_ == expectedSize;
}

bool PartialDownload::append(const char* data, qint64 size, QString* error)
{
    if (!file_) {
        if (error)
            *error = tr("%1 is not open.").arg(partialPath_);
        return false;
    }
    while (size > 0) {
        const qint64 n = file_->write(data, size);
        if (n <= 0) {
            if (error)
                *error = tr("Can't write %1: %2").arg(partialPath_, file_->errorString());
            return false;
        }
        size_ += n;
        data += n;
        size -= n;
    }
    return true;
}

void PartialDownload::close()
{
    if (file_) {
        file_->close();
        file_.reset();
    }
}

void PartialDownload::discard()
{
    close();
    QFile::remove(recordPath_);
    QFile::remove(partialPath_);
    size_ = 0;
}

PartialDownload::Finished PartialDownload::finish(quint64 published, qint64 maxSize,
                                                  const std::optional<qdt::Sha256Digest>& digest)
{
    close();
    Finished done;
    QFile file(partialPath_);
    if (!plainFile(partialPath_) || !file.open(QIODevice::ReadOnly)) {
        done.error = tr("Can't read %1 back: %2").arg(partialPath_, file.errorString());
        return done;
    }
    if (maxSize >= 0 && file.size() > maxSize) {
        done.error = tr("%1 is larger than the %2 this program accepts.")
                         .arg(partialPath_, megabytes(maxSize));
        discard();
        return done;
    }
    done.bytes = file.readAll();
    const bool complete = done.bytes.size() == file.size();
    file.close();
    if (!complete) {
        done.bytes.clear();
        done.error = tr("Can't read %1 back.").arg(partialPath_);
        return done;
    }
    const quint64 hash =
        qdt::xxh64(done.bytes.constData(), static_cast<std::size_t>(done.bytes.size()));
    // A forger can match a 64-bit hash; a signed release's SHA-256 he cannot.
    if ((published != 0 && hash != published) ||
        (digest && qdt::sha256(done.bytes.constData(),
                               static_cast<std::size_t>(done.bytes.size())) != *digest)) {
        done.outcome = Outcome::Mismatch;
        done.bytes.clear();
        discard();
        return done;
    }
    // On the disk before its name says it is the whole file.
    {
        qdt::Result<qdt::FilePtr> opened =
            qdt::openFile(fsPath(partialPath_), qdt::FileMode::ReadWrite);
        qdt::Status flushed = opened.status;
        if (opened.ok())
            flushed = qdt::flushToDisk(opened.value.get(), fsPath(partialPath_));
        if (!flushed.ok()) {
            done.bytes.clear();
            done.error = QString::fromStdString(flushed.detail);
            return done;
        }
    }
    const qdt::Status renamed = qdt::replaceFile(fsPath(partialPath_), fsPath(finalPath_));
    if (!renamed.ok()) {
        done.bytes.clear();
        done.error =
            tr("Can't store %1: %2").arg(finalPath_, QString::fromStdString(renamed.detail));
        return done;
    }
    QFile::remove(recordPath_);
    done.outcome = Outcome::Stored;
    done.hash = hash;
    return done;
}
