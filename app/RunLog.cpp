#include "app/RunLog.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSysInfo>

#include "app/Constants.h"
#include "core/CheckedFile.h"
#include "core/FileIo.h"

namespace runlog {

namespace {

constexpr int kRunsKept = 5;
constexpr qint64 kMaxBytes = 256 * 1024;
const QByteArray kFullLine = "[log full: later lines are not kept]\n";

qdt::NewFile logFile;
QString logPath;
qint64 written = 0;
bool full = false;
QElapsedTimer clock;

QString fileFor(const QString& folder, int run)
{
    return QDir(folder).filePath(run == 0 ? QStringLiteral("patcher.log")
                                          : QStringLiteral("patcher.%1.log").arg(run));
}

std::filesystem::path fsPath(const QString& path)
{
    return qdt::pathFromUtf8(QDir::toNativeSeparators(path).toStdString());
}

QString describe(const qdt::Entry& entry)
{
    switch (entry.kind) {
    case qdt::EntryKind::Folder:
        return QStringLiteral("a folder");
    case qdt::EntryKind::OwnFile:
        return QStringLiteral("a file larger than a log");
    default:
        return QStringLiteral("a link, a second name of another file, a pipe or a device");
    }
}

// Makes room for this run's log: whatever holds one of the log names without being a log of
// ours (a link, another name of someone's file, a folder, something over the cap) leaves the
// set, so that nothing is ever written or attached through it; then the oldest log goes and the
// others move along. Returns what was found in the way, for the new log.
QStringList rotate(const QString& folder)
{
    QStringList notes;
    for (int run = 0; run < kRunsKept; ++run) {
        const QString name = fileFor(folder, run);
        const qdt::Entry entry = qdt::entryAt(fsPath(name));
        if (entry.kind == qdt::EntryKind::Missing ||
            (entry.kind == qdt::EntryKind::OwnFile &&
             entry.size <= static_cast<std::uint64_t>(kMaxBytes)))
            continue;
        const bool freed = qdt::freeName(fsPath(name));
        notes << QStringLiteral("%1 was %2: %3")
                     .arg(QFileInfo(name).fileName(), describe(entry),
                          freed ? QStringLiteral("it is no longer used as a log")
                                : QStringLiteral("it can't be moved and is skipped"));
    }
    qdt::freeName(fsPath(fileFor(folder, kRunsKept - 1)));
    for (int run = kRunsKept - 2; run >= 0; --run) {
        const auto from = fsPath(fileFor(folder, run));
        if (qdt::entryAt(from).kind != qdt::EntryKind::OwnFile)
            continue;
        // A name further on that can't be freed costs this log, not the rotation.
        if (!qdt::renameToFreeName(from, fsPath(fileFor(folder, run + 1))))
            qdt::freeName(from);
    }
    return notes;
}

} // namespace

void start(const QString& folder)
{
    logFile.close();
    logPath.clear();
    written = 0;
    full = false;
    clock.start();
    QDir().mkpath(folder);
    const QStringList notes = rotate(folder);
    const QString name = fileFor(folder, 0);
    // The log is a file made new for this run and kept open: every line lands in it, whatever
    // is put under its name meanwhile. When it can't be made the run has no log.
    qdt::freeName(fsPath(name));
    auto made = qdt::NewFile::create(fsPath(name));
    if (!made)
        return;
    logFile = std::move(made.value);
    logPath = name;
    write(QStringLiteral("Quen Dara Translation %1.%2 started %3 on %4")
              .arg(versionMajor)
              .arg(versionMinor)
              .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate),
                   QSysInfo::prettyProductName()));
    for (const QString& note : notes)
        write(note);
}

void write(const QString& line)
{
    if (!logFile.isOpen() || full)
        return;
    QByteArray bytes = QStringLiteral("[%1 s] ")
                           .arg(static_cast<double>(clock.elapsed()) / 1000.0, 0, 'f', 3)
                           .toUtf8() +
                       line.toUtf8().replace('\n', " | ") + '\n';
    // Room is kept for the line that says the log is full, so the file never passes the cap.
    if (written + bytes.size() > kMaxBytes - kFullLine.size()) {
        bytes = kFullLine;
        full = true;
    }
    if (logFile.append(bytes.constData(), static_cast<std::size_t>(bytes.size())))
        written += bytes.size();
}

QString currentFile()
{
    return logPath;
}

} // namespace runlog
