// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The kept files' directory: second hard links, made with linkat, read and
// removed by name in that directory, never through a link.

#include "keptoriginals.h"

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char KEPT_DIRECTORY_NAME[] = ".dorvane-kept";

} // namespace

// A link or a file in its place is no such directory: nothing is kept then.
bool KeptOriginals::openDirectory(bool create)
{
    if (directory.isValid() || apiDirectory < 0)
        return directory.isValid();
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(apiDirectory, KEPT_DIRECTORY_NAME, flags);
    if (fd < 0 && errno == ENOENT && create && (mkdirat(apiDirectory, KEPT_DIRECTORY_NAME, 0777) == 0 || errno == EEXIST))
        fd = openat(apiDirectory, KEPT_DIRECTORY_NAME, flags);
    directory = FileDescriptor(fd);
    return directory.isValid();
}

void KeptOriginals::list()
{
    if (isNamesListed)
        return;
    isNamesListed = true;
    if (!openDirectory(false))
        return;
    DIR *const entries = openListing(directory.get());
    if (!entries)
        return;
    while (const dirent *entry = readdir(entries)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.insert(name);
    }
    closedir(entries);
}

bool KeptOriginals::contains(const QByteArray &keptName)
{
    list();
    return names.contains(keptName);
}

bool KeptOriginals::keep(int fileDirectory, const QByteArray &name, const QByteArray &keptName)
{
    if (!openDirectory(true))
        return false;
    // What stands under the name already is an older version's, or junk.
    if (linkat(fileDirectory, name.constData(), directory.get(), keptName.constData(), 0) != 0
        && !(errno == EEXIST && unlinkat(directory.get(), keptName.constData(), 0) == 0
             && linkat(fileDirectory, name.constData(), directory.get(), keptName.constData(), 0) == 0))
        return false;
    names.insert(keptName);
    return true;
}

ReadResult KeptOriginals::read(const QByteArray &keptName, QByteArray &content, FileStatus &status)
{
    return openDirectory(false) ? readReplyFile(directory.get(), keptName.constData(), content, status)
                                : ReadResult::Skipped;
}

ReadResult KeptOriginals::open(const QByteArray &keptName, FileReader &reader, FileStatus &status)
{
    return openDirectory(false) ? reader.open(directory.get(), keptName.constData(), status) : ReadResult::Skipped;
}

bool KeptOriginals::readStatus(const QByteArray &keptName, FileStatus &status)
{
    return openDirectory(false) && readFileStatus(directory.get(), keptName.constData(), status);
}

void KeptOriginals::remove(const QByteArray &keptName)
{
    if (openDirectory(false))
        unlinkat(directory.get(), keptName.constData(), 0);
    names.remove(keptName);
}

void KeptOriginals::removeAllBut(const QSet<QByteArray> &keptNames)
{
    list();
    const QSet<QByteArray> listed = names;
    for (const QByteArray &name : listed) {
        if (!keptNames.contains(name))
            remove(name);
    }
}
