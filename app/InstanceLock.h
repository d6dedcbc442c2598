// One copy of the program at a time per user: two copies would patch the same archive and share
// one work directory, and each would see the other's work as foreign changes.
#pragma once

#include <QString>

class InstanceLock
{
public:
    enum class State
    {
        Acquired,
        HeldByAnotherCopy, // a copy that really runs holds it
        CannotBeMade       // the work folder refuses the lock file: `problem` says why
    };

    // Takes the lock file "patcher.lock" in `workDir` without waiting. The lock is the system's
    // own lock on the open file, which ends with the process that holds it however it ends, so
    // only a copy that really runs counts: what a crash or a power cut left in the file (nothing,
    // garbage, an old process id) does not matter. Whatever stands in the way under that name
    // (a folder, a link, a pipe) is set aside, never followed.
    explicit InstanceLock(const QString& workDir);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    bool acquired() const { return state_ == State::Acquired; }
    State state() const { return state_; }
    QString problem() const { return problem_; }
    QString fileName() const { return fileName_; }

private:
    State state_ = State::CannotBeMade;
    QString problem_;
    QString fileName_;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};
