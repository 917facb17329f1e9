// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// A directory held open, and every path beneath it resolved so that no
// link, not even one swapped in while a run goes on, leads out of it.

#ifndef CONFINEDDIRECTORY_H
#define CONFINEDDIRECTORY_H

#include "fileio.h"

#include <QtCore/QByteArray>

#include <sys/stat.h>

enum class Resolution {
    Found,
    Missing,
    // No directory where one was asked for.
    NotDirectory,
    // A link on the way leads out of the directory.
    Outside,
    // errno says why.
    Failed,
};

// Paths are walked one component at a time, each opened with O_NOFOLLOW; a
// link is followed by the walk only while it stays inside: never past the
// root with "..", and an absolute one only through the directory's own path
// or the path it was opened by.
class ConfinedDirectory
{
public:
    // As the path resolves now: a link on the way was the user's choice.
    bool openRoot(const QByteArray &path);
    int rootFd() const { return root.get(); }

    // Opened for reading where it may be read; with create, made where missing.
    Resolution openDirectory(const QByteArray &path, FileDescriptor &directory, bool create = false);
    // The directory that holds the file path names, through links, and its
    // name and status there.
    Resolution locate(const QByteArray &path, FileDescriptor &directory, QByteArray &name, struct stat &status);

private:
    qsizetype rootLength(const QByteArray &target) const;
    Resolution walk(const QByteArray &path, FileDescriptor &result, QByteArray *name, struct stat *status, bool create);

    FileDescriptor root;
    QByteArray rootPath;
    QByteArray openedPath;
};

// Removes the directory name in parent and all below it, a link as a link;
// a missing one counts as removed, and a file there stays. On failure, the
// first entry that could not go (from parent), the directory that refused,
// and errno.
bool removeTree(int parent, const QByteArray &name, QByteArray &failedPath, FileDescriptor &failedDirectory);

// Made, or found made; what is made takes its parent's owner where the
// runner may give it.
bool makeDirectory(int parent, const char *name);

#endif // CONFINEDDIRECTORY_H
