// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// What a run says on standard error: why it failed, and what it skipped,
// each file named as seen from where the run started.

#ifndef RUNREPORT_H
#define RUNREPORT_H

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayView>
#include <QtCore/QSet>

class RunReport
{
public:
    // The build directory as named on the command line, empty for the
    // current directory, and as it is open, if it is.
    void setDirectory(const QByteArray &name, int fd)
    {
        buildDirectoryName = name;
        buildDirectoryFd = fd;
    }
    // A file of the build directory as named from where the run started; the
    // build directory itself for an empty one.
    QByteArray displayPath(const QByteArray &file) const;

    // Takes note of why the run failed: the first failure is the one
    // reported. Always false. Where the system refused an ordinary user and
    // the build directory, or the directory written in, belongs to another
    // user, says what to do.
    bool fail(const QByteArray &file, QByteArrayView reason, int error = 0, int directoryFd = -1);
    // Prints a line at once, each line once.
    void print(const QByteArray &file, QByteArrayView reason);
    // The file, as named from where the run started, and the reason; empty
    // while nothing failed.
    const QByteArray &problem() const { return failure; }
    void clear() { failure.clear(); }

private:
    QByteArray buildDirectoryName;
    int buildDirectoryFd = -1;
    QByteArray failure;
    QSet<QByteArray> warned;
};

#endif // RUNREPORT_H
