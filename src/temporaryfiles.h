// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The temporary files a run is writing: named so that a later run can tell
// them, and removed when SIGHUP, SIGINT or SIGTERM ends the run.

#ifndef TEMPORARYFILES_H
#define TEMPORARYFILES_H

#include <QtCore/QByteArray>

// A registry the signal handler reads: it removes every file registered,
// and knows nothing of what each is for.
class TemporaryFiles
{
public:
    // Before the file is made. The slot, or -1 for a name too long, or more
    // files at once than a run writes.
    static int registerName(int directoryFd, const QByteArray &name);
    // For a file put in place or removed.
    static void release(int &slot);
    static void removeOnSignal();
    // And then ends the process with status 0, as a watch ends, rather than
    // by the signal.
    static void exitOnSignal();

    // ".dorvane-" and six random letters or digits.
    static QByteArray newName();
    // The regular files so named that a run killed by SIGKILL left: only for
    // a run that holds the lock, so that no other run is writing one.
    static void removeLeftovers(int directoryFd);
};

// While one lives, the three signals wait: for the moment in which a
// registered name stops holding what the registry says.
class SignalHold
{
    Q_DISABLE_COPY_MOVE(SignalHold)

public:
    SignalHold();
    ~SignalHold();
};

#endif // TEMPORARYFILES_H
