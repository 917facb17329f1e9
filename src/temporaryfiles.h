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
    // Before the file is made: the slot, or -1.
    static int registerName(int directoryFd, const QByteArray &name);
    // For a file put in place or removed.
    static void release(int &slot);
    static void removeOnSignal();
    // Then ends the process with status 0, as a watch ends.
    static void exitOnSignal();

    // ".dorvane-" and six random letters or digits.
    static QByteArray newName();
    // The regular files so named that runs killed by SIGKILL left.
    static void removeLeftovers(int directoryFd);
};

// While one lives, the signals wait: a registered name may hold other than
// the registry says.
class SignalHold
{
    Q_DISABLE_COPY_MOVE(SignalHold)

public:
    SignalHold();
    ~SignalHold();
};

#endif // TEMPORARYFILES_H
