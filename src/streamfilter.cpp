// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The filter reads what is there and maps every whole line of it in one
// scan, keeping only a line's unfinished end for the next read: a build's
// output shows as it goes, and a log of any size takes memory for its
// longest line.

#include "streamfilter.h"

#include "runreport.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace {

constexpr qsizetype READ_SIZE = 1 << 20;

enum class Written {
    Done,
    Closed,
    Failed,
};

Written writeOut(int fd, QByteArrayView bytes)
{
    for (const char *p = bytes.data(), *end = p + bytes.size(); p < end;) {
        const ssize_t count = ::write(fd, p, size_t(end - p));
        if (count >= 0) {
            p += count;
        } else if (errno == EAGAIN) {
            pollfd writable = { fd, POLLOUT, 0 };
            poll(&writable, 1, -1);
        } else if (errno != EINTR) {
            return errno == EPIPE ? Written::Closed : Written::Failed;
        }
    }
    return Written::Done;
}

bool waitToRead(int fd)
{
    pollfd readable = { fd, POLLIN, 0 };
    return poll(&readable, 1, -1) >= 0 || errno == EINTR;
}

int failed(const char *what, int error)
{
    RunReport::tell(QByteArray(what) + ": " + std::strerror(error));
    return 1;
}

} // namespace

int filterStream(const PathRules &rules, int in, int out)
{
    // A reader that went away is the end of the filter's work, not a failure.
    std::signal(SIGPIPE, SIG_IGN);
    QByteArray pending, mapped;
    for (;;) {
        const qsizetype kept = pending.size();
        pending.resize(kept + READ_SIZE);
        const ssize_t count = ::read(in, pending.data() + kept, READ_SIZE);
        const int error = errno;
        pending.resize(kept + std::max<ssize_t>(count, 0));
        if (count < 0 && (error == EINTR || (error == EAGAIN && waitToRead(in))))
            continue;
        if (count < 0)
            return failed("standard input: cannot read", error);
        qsizetype lines = pending.size();
        if (count > 0) {
            const void *newline = memrchr(pending.constData() + kept, '\n', size_t(count));
            lines = newline ? static_cast<const char *>(newline) - pending.constData() + 1 : 0;
        }
        if (lines > 0) {
            const QByteArrayView text = QByteArrayView(pending).first(lines);
            mapped.resize(0);
            const Written written = writeOut(out, rules.appendMappedLines(mapped, text) ? QByteArrayView(mapped) : text);
            if (written == Written::Closed)
                return 0;
            if (written == Written::Failed)
                return failed("standard output: cannot write", errno);
            pending.remove(0, lines);
        }
        if (count == 0)
            return 0;
    }
}
