#include "app/InstanceLock.h"

#include <QDir>

InstanceLock::InstanceLock(const QString& workDir)
    : file_(QDir(workDir).filePath(QStringLiteral("patcher.lock")))
{
    QDir().mkpath(workDir);
    // A copy may rightly run for hours: only a lock whose process is gone counts as stale.
    file_.setStaleLockTime(0);
    acquired_ = file_.tryLock(0);
}
