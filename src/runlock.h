// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// One run at a time in a build directory.

#ifndef RUNLOCK_H
#define RUNLOCK_H

#include <QtCore/QtGlobal>

// An exclusive advisory lock (flock) on an open directory, held until the
// object goes. The kernel releases it however the process ends, so a killed
// run never leaves it taken.
class RunLock
{
    Q_DISABLE_COPY_MOVE(RunLock)

public:
    enum Result {
        Locked,
        // Another process held it for the whole wait.
        Busy,
        // The directory is not open for reading, or its file system refuses locks.
        Unsupported,
    };

    RunLock() = default;
    ~RunLock();

    // Waits up to waitMilliseconds for the lock on the directory open as directoryFd.
    Result lock(int directoryFd, int waitMilliseconds);

private:
    int fd = -1;
};

#endif // RUNLOCK_H
