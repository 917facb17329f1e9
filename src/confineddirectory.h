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
    // Something that is no directory stands where a directory was asked for.
    NotDirectory,
    // A link on the way leads out of the directory.
    Outside,
    // errno says why.
    Failed,
};

// Paths are walked from the directory's descriptor one component at a time,
// each opened with O_NOFOLLOW. A link is read and followed by the walk
// itself, only while it stays inside: a relative one never climbs past the
// root with "..", and an absolute one must name a path through the
// directory's own path as it was when opened, or through the path it was
// opened by.
class ConfinedDirectory
{
public:
    // Opens the directory at path as it resolves now: a link on the way
    // there was the user's choice. Fails with errno set.
    bool openRoot(const QByteArray &path);
    int rootFd() const { return root.get(); }

    // The directory at a relative path, opened for reading where it may be
    // read. With create, what is missing is made.
    Resolution openDirectory(const QByteArray &path, FileDescriptor &directory, bool create = false);
    // Follows a relative path to the file it names and opens the directory
    // that holds it, a link's final target included: name is the file's
    // name there, and status its status. Missing: no such file there.
    Resolution locate(const QByteArray &path, FileDescriptor &directory, QByteArray &name, struct stat &status);

private:
    qsizetype rootLength(const QByteArray &target) const;
    Resolution walk(const QByteArray &path, FileDescriptor &result, QByteArray *name, struct stat *status, bool create);

    FileDescriptor root;
    QByteArray rootPath;
    QByteArray openedPath;
};

// Removes the directory name in parent and everything below it, never
// through a link: a link, there or below, is removed as a link. A missing
// directory counts as removed, and a file there is no directory and stays.
// On failure, failedPath is the path, from parent, of the first entry that
// could not be removed, failedDirectory the directory that refused (the
// entry itself where opening it was denied, else the one it is in), and
// errno says why.
bool removeTree(int parent, const QByteArray &name, QByteArray &failedPath, FileDescriptor &failedDirectory);

// Makes the directory name in parent, or finds it made. What is made takes
// its parent's owner, where the runner may give it: a run as root in a
// user's build directory leaves nothing the user cannot remove.
bool makeDirectory(int parent, const char *name);

#endif // CONFINEDDIRECTORY_H
