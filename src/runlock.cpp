// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The build directory's lock, taken with flock on the directory opened
// read-only: it needs no file of its own, works in a read-only build
// directory, and CMake never deletes what it locks.

#include "runlock.h"

#include <QtCore/QDeadlineTimer>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

RunLock::~RunLock()
{
    if (fd >= 0)
        ::close(fd);
}

RunLock::Result RunLock::lock(const char *directory, int waitMilliseconds)
{
    fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return Unsupported;
    // flock cannot time out, so the wait polls. A run is short, so a pause
    // that starts at a millisecond and doubles up to 20 keeps the waiter
    // close behind the holder without spinning.
    const QDeadlineTimer deadline(waitMilliseconds);
    int pauseMicroseconds = 1000;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return Locked;
        if (errno == EINTR)
            continue;
        // Some network file systems refuse flock, on a directory or at all.
        if (errno != EWOULDBLOCK)
            return Unsupported;
        if (deadline.hasExpired())
            return Busy;
        usleep(pauseMicroseconds);
        pauseMicroseconds = std::min(2 * pauseMicroseconds, 20000);
    }
}
