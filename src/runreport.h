// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// What a run says on standard error: why it failed, and what it skipped,
// each file named as seen from where the run started.

#ifndef RUNREPORT_H
#define RUNREPORT_H

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayView>
#include <QtCore/QSet>

// Why a file mapped with other paths cannot be mapped with these.
constexpr char NOT_KEPT_REASON[] = "mapped with other paths, and no intact copy of what CMake wrote is kept: ";

class RunReport
{
public:
    // As named on the command line, empty for the current directory.
    void setDirectory(const QByteArray &name, int fd)
    {
        buildDirectoryName = name;
        buildDirectoryFd = fd;
    }
    // A file as named from where the run started; an empty one is the build directory.
    QByteArray displayPath(const QByteArray &file) const;

    // The first failure is the one reported. Always false. Where another
    // user's directory refused an ordinary user, says what to do.
    bool fail(const QByteArray &file, QByteArrayView reason, int error = 0, int directoryFd = -1);
    // Prints a line at once, each line once.
    void print(const QByteArray &file, QByteArrayView reason);
    // CMake wrote the reply or the database again while the run went on, as
    // a file that failed with ENOENT shows too: said in a run of its own,
    // not under a watch, which runs again once CMake is done.
    void raced(const QByteArray &file, QByteArrayView reason);
    bool hasRaced() const { return isRaced; }
    void setWatched() { isWatched = true; }
    // A line of the tool's own, "dorvane: " and line, written at once, so that
    // lines of runs that share standard error never mix.
    static void tell(const QByteArray &line);
    // How to have CMake write its reply again, and afresh, the reply and,
    // with the note, it removed first.
    QByteArray reconfigure() const;
    QByteArray afresh(bool withNote = false) const;
    const QByteArray &problem() const { return failure; }
    void clear() { failure.clear(); }

private:
    QByteArray buildDirectoryName;
    int buildDirectoryFd = -1;
    QByteArray failure;
    QSet<QByteArray> warned;
    bool isRaced = false;
    bool isWatched = false;
};

#endif // RUNREPORT_H
