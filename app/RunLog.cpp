#include "app/RunLog.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSysInfo>

#include "app/Constants.h"

namespace runlog {

namespace {

constexpr int kRunsKept = 5;
constexpr qint64 kMaxBytes = 256 * 1024;

QString logPath;
qint64 written = 0;
bool full = false;
QElapsedTimer clock;

QString fileFor(const QString& folder, int run)
{
    return QDir(folder).filePath(run == 0 ? QStringLiteral("patcher.log")
                                          : QStringLiteral("patcher.%1.log").arg(run));
}

} // namespace

void start(const QString& folder)
{
    QDir().mkpath(folder);
    QFile::remove(fileFor(folder, kRunsKept - 1));
    for (int run = kRunsKept - 2; run >= 0; --run)
        QFile::rename(fileFor(folder, run), fileFor(folder, run + 1));
    logPath = fileFor(folder, 0);
    written = 0;
    full = false;
    clock.start();
    write(QStringLiteral("Quen Dara Translation %1.%2 started %3 on %4")
              .arg(versionMajor)
              .arg(versionMinor)
              .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate),
                   QSysInfo::prettyProductName()));
}

void write(const QString& line)
{
    if (logPath.isEmpty() || full)
        return;
    QByteArray bytes = QStringLiteral("[%1 s] ")
                           .arg(static_cast<double>(clock.elapsed()) / 1000.0, 0, 'f', 3)
                           .toUtf8() +
                       line.toUtf8().replace('\n', " | ") + '\n';
    if (written + bytes.size() > kMaxBytes) {
        bytes = "[log full: later lines are not kept]\n";
        full = true;
    }
    QFile file(logPath);
    if (!file.open(QIODevice::Append))
        return;
    written += file.write(bytes);
}

QString currentFile()
{
    return logPath;
}

} // namespace runlog
