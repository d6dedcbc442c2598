// A real process running under a chosen executable name (for example "ORBEX.exe"), for tests of
// the process scan and the start-up gate. It is a copy of a small system program that sleeps.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class FakeProcess
{
public:
    // Copies the sleeping program to `folder/exeName` (folder relative to a private temporary
    // directory, may be empty) and starts it. Check running() afterwards.
    explicit FakeProcess(const QString& exeName, const QString& folder = QString());
    ~FakeProcess();

    bool running() const;
    QString executablePath() const { return path_; }
    qint64 pid() const { return process_.processId(); }
    void stop();

private:
    QTemporaryDir dir_;
    QString path_;
    QProcess process_;
};
