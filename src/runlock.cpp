// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The build directory's lock, taken with flock on the directory the run
// holds open: it needs no file of its own, works in a read-only build
// directory, and cannot be taken for another directory by a link swapped in
// while the run waits.

#include "runlock.h"

#include <QtCore/QDeadlineTimer>

#include <algorithm>
#include <cerrno>

#include <sys/file.h>
#include <unistd.h>

RunLock::~RunLock()
{
    if (fd >= 0)
        flock(fd, LOCK_UN);
}

RunLock::Result RunLock::lock(int directoryFd, int waitMilliseconds)
{
    // flock cannot time out, so the wait polls. A run is short, so a pause
    // that starts at a millisecond and doubles up to 20 keeps the waiter
    // close behind the holder without spinning.
    const QDeadlineTimer deadline(waitMilliseconds);
    int pauseMicroseconds = 1000;
    for (;;) {
        if (flock(directoryFd, LOCK_EX | LOCK_NB) == 0) {
            fd = directoryFd;
            return Locked;
        }
        if (errno == EINTR)
            continue;
        // A directory open only to be entered cannot be locked (EBADF), and
        // some network file systems refuse flock, on a directory or at all.
        if (errno != EWOULDBLOCK)
            return Unsupported;
        if (deadline.hasExpired())
            return Busy;
        usleep(pauseMicroseconds);
        pauseMicroseconds = std::min(2 * pauseMicroseconds, 20000);
    }
}
