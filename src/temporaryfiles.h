// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The temporary files a run is writing, named so that a later run can tell
// them, and removed when SIGHUP, SIGINT or SIGTERM ends the run.

#ifndef TEMPORARYFILES_H
#define TEMPORARYFILES_H

#include <QtCore/QByteArray>

// A registry that a signal handler may read: the handler removes every file
// still registered, and knows nothing of what each is for.
class TemporaryFiles
{
public:
    // Registers a name before the file is made. Returns the slot, or -1
    // where more files are being written at once than a run ever writes.
    static int add(int directoryFd, const QByteArray &name);
    // Forgets a file that was put in place or removed; slot becomes -1.
    static void release(int &slot);
    // From now until the process ends, the three signals remove every file
    // registered before they end it.
    static void removeOnSignal();

    // ".dorvane-" and six random letters or digits.
    static QByteArray newName();
    // Removes, from a directory, the regular files named as this tool names
    // its temporary files: what a run killed by SIGKILL left. Only for a run
    // that holds the lock, so that no other run is writing one.
    static void removeLeftovers(int directoryFd);
};

// While an object lives, the three signals wait: for the moment in which a
// registered name stops holding what the registry says.
class SignalHold
{
    Q_DISABLE_COPY_MOVE(SignalHold)

public:
    SignalHold();
    ~SignalHold();
};

#endif // TEMPORARYFILES_H
