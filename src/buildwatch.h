// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Waiting on the kernel, with inotify, for CMake to write a build
// directory's reply or compilation database again.

#ifndef BUILDWATCH_H
#define BUILDWATCH_H

#include "fileio.h"

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayList>
#include <QtCore/QHash>

#include <vector>

// How long the reply directory and the database stay quiet before a run:
// CMake writes the index last, then removes what it no longer names.
constexpr int SETTLE_MILLISECONDS = 200;

// Watches, by the path it was given, the build directory's parent and each
// directory from there down to the reply as they come and go, and where
// they go, the nearest that stands. Links are followed down to the build
// directory, itself included, and not below it.
class BuildWatch
{
    Q_DISABLE_COPY_MOVE(BuildWatch)

public:
    // path is absolute and clean.
    BuildWatch(const QByteArray &path, bool withDatabase);
    ~BuildWatch();

    // False where the kernel watches nothing; problem() says why. Where the
    // build directory or those above it do not stand yet, the watch waits
    // at the nearest that does.
    bool start();
    // Whether another watch holds this build directory; this one holds it
    // otherwise, until the process ends.
    bool isHeldElsewhere();
    // Until CMake has written the reply's index or the database, or at once
    // with isRunDue, and the reply directory and the database have been
    // quiet for the settle time. left holds each index and the database by
    // name as the last run left them: a file as it was left is the run's
    // own. False where a directory that came can no longer be watched.
    bool waitForCMake(const QHash<QByteArray, FileIdentity> &left, bool isRunDue);
    // The directory that could not be watched, why, and what to do.
    const QByteArray &problem() const { return failure; }
    // Whether CMake wrote or removed anything in the reply directory, or the
    // database, during the last wait or the run before it.
    bool hasSeenCMake() const { return isCMakeSeen; }

private:
    bool watchDirectories();
    bool isOwn(const QByteArray &path, const QByteArray &name, const QHash<QByteArray, FileIdentity> &left) const;
    bool hasCMakeWritten(const QHash<QByteArray, FileIdentity> &left) const;

    const bool withDatabase;
    // From "/" down to the reply directory, and which is the build directory.
    QByteArrayList paths;
    int buildLevel = 0;
    // The directories watched, by level, and how many from "/" down stand.
    std::vector<int> watches;
    int standing = 0;
    FileDescriptor inotify;
    FileDescriptor hold;
    QByteArray failure;
    bool isCMakeSeen = false;
};

#endif // BUILDWATCH_H
