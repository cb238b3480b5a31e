#pragma once
// One run at a time: an exclusive advisory lock on a file, held for the life of
// the process and released by the kernel when the process ends, however it ends.
// The lock file is deleted by the run that held it, so a run leaves no trace; a
// killed run's file is taken over by the next.
#include <string>

constexpr const char* kRunLockPath = "/ram/installer.lock";

enum class LockResult {
    Acquired,
    Busy,         // another process holds it
    Unavailable,  // the lock file cannot be made (no "/ram")
};

class RunLock {
public:
    RunLock() = default;
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    LockResult acquire(const char* path);

private:
    int fd_ = -1;
    std::string path_;
};
