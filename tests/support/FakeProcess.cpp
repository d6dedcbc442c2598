#include "tests/support/FakeProcess.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>

FakeProcess::FakeProcess(const QString& exeName, const QString& folder)
{
    const QString where = folder.isEmpty() ? dir_.path() : dir_.path() + QLatin1Char('/') + folder;
    QDir().mkpath(where);
    path_ = where + QLatin1Char('/') + exeName;
#ifdef QDT_SLEEPER_PATH
    // Windows: our helper program, told how long to sleep through its environment.
    const QString sleeper = QStringLiteral(QDT_SLEEPER_PATH);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QDT_HELPER_SLEEP"), QStringLiteral("300"));
    env.remove(QStringLiteral("QDT_HELPER_RECORD"));
    process_.setProcessEnvironment(env);
#else
    const QString sleeper = QStandardPaths::findExecutable(QStringLiteral("sleep"));
#endif
    if (sleeper.isEmpty() || !QFile::copy(sleeper, path_))
        return;
    QFile::setPermissions(path_, QFile::permissions(path_) | QFileDevice::ExeOwner);
    process_.start(path_, {QStringLiteral("600")});
    process_.waitForStarted(5000);
}

FakeProcess::~FakeProcess()
{
    stop();
}

bool FakeProcess::running() const
{
    return process_.state() == QProcess::Running;
}

void FakeProcess::stop()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}
