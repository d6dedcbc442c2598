// The bytes of a download kept on disk between attempts and between runs: a partial file beside
// the file it will become, and a small record beside it that says what those bytes are part of.
// The partial file's name never is the final one, and the final file only ever appears by an
// atomic rename after its hash was checked.
#pragma once

#include <memory>
#include <optional>

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QUrl>

#include "core/ReleaseCrypto.h"

// What a partial file belongs to. Bytes are only ever added to a partial file whose record names
// the same address, the same published hash and the same validator the server sends back.
struct PartialIdentity
{
    QUrl address;          // where the download starts (before redirects)
    quint64 published = 0; // the hash the whole file must have; 0: none published
    QByteArray validator;  // the server's strong ETag or Last-Modified value for the body
    qint64 total = -1;     // the whole file's size, as the server announced it
};

class PartialDownload
{
public:
    enum class Outcome
    {
        Stored,   // hash checked (or none published), renamed to the final name
        Mismatch, // the bytes are not the published file; the partial file is gone
        Failed,   // could not be read, checked or renamed; the final file is untouched
    };
    struct Finished
    {
        Outcome outcome = Outcome::Failed;
        QByteArray bytes; // the whole file, when stored
        quint64 hash = 0; // its XXH64, when stored
        QString error;    // why not, for the player
    };

    // The partial file and its record for the final file `finalPath`.
    explicit PartialDownload(const QString& finalPath);
    ~PartialDownload();
    PartialDownload(const PartialDownload&) = delete;
    PartialDownload& operator=(const PartialDownload&) = delete;

    // "<final>.partial" and "<final>.partial.json".
    static QString partialPathFor(const QString& finalPath);
    static QString recordPathFor(const QString& finalPath);

    QString partialPath() const { return partialPath_; }

    // How many bytes of the file described by `address` and `published` a previous attempt or run
    // left, with their identity. Anything that does not fit (no or damaged record, another
    // address or hash, no validator, a partial file that is missing, not a plain file, or not
    // shorter than the announced total) is discarded, and 0 is returned.
    qint64 kept(const QUrl& address, quint64 published, PartialIdentity* identity);

    // Starts the partial file afresh for `identity`: the old record goes first, then an empty
    // partial file, then the new record (only when the identity allows resuming: a validator and a
    // total). False, with `error`, when the folder refuses.
    bool restart(const PartialIdentity& identity, QString* error);
    // Whether the last restart failed because something else (a folder, a link) has the partial
    // file's name: the player has to move it, no disk space would help.
    bool nameInTheWay() const { return inTheWay_; }
    // Opens the kept partial file to add to it; false when it is no longer `expectedSize` long.
    bool reopen(qint64 expectedSize, QString* error);
    // Adds bytes at the end. On failure what was written stays a true prefix of the file.
    bool append(const char* data, qint64 size, QString* error);
    // Bytes in the partial file (as written through this object).
    qint64 size() const { return size_; }
    // Closes the partial file; it and its record stay for the next attempt or run.
    void close();
    // Removes the record, then the partial file.
    void discard();
    // Checks the whole partial file against `published` (when not 0) and `digest` (SHA-256, when
    // given) and renames it over the final file. The record goes after the rename; a mismatch
    // discards both.
    Finished finish(quint64 published, qint64 maxSize,
                    const std::optional<qdt::Sha256Digest>& digest = std::nullopt);

private:
    bool writeRecord(const PartialIdentity& identity, QString* error);

    QString finalPath_;
    QString partialPath_;
    QString recordPath_;
    std::unique_ptr<QFile> file_;
    qint64 size_ = 0;
    bool inTheWay_ = false;
};
