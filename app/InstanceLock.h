// One copy of the program at a time per user: two copies would patch the same archive and share
// one work directory, and each would see the other's work as foreign changes.
#pragma once

#include <QLockFile>
#include <QString>

class InstanceLock
{
public:
    // Takes the lock file "patcher.lock" in `workDir` without waiting. The lock lives as long as
    // this object; a copy that crashed leaves a file whose process is gone, and the next start
    // takes it over.
    explicit InstanceLock(const QString& workDir);

    bool acquired() const { return acquired_; }

private:
    QLockFile file_;
    bool acquired_ = false;
};
