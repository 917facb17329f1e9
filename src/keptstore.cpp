// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// What is kept, checked against what the note or the name says it is, and
// the kept files' directory.

#include "keptstore.h"

#include "buildpaths.h"
#include "confineddirectory.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void KeptStore::removeKeptBut(const QSet<QByteArray> &names)
{
    const QSet<QByteArray> listed = keptNames;
    for (const QByteArray &name : listed) {
        if (!names.contains(name))
            removeKept(name);
    }
}

Checksum KeptStore::intactKeptChecksum(const QByteArray &name, const Checksum &expected)
{
    if (!isKept(name))
        return {};
    if (expected) {
        FileReader reader;
        return openKept(name, reader) == ReadResult::Read && checksumOfRest(reader) == expected ? expected : Checksum();
    }
    QByteArray content;
    return readKept(name, content) == ReadResult::Read && isAsNamed(name, content) ? Checksum(checksumOf(content))
                                                                                    : Checksum();
}

bool KeptStore::refuse(RunReport &report, const QByteArray &name, const QByteArray &path, const QByteArray &advice)
{
    const QByteArray keptPath = fileApiPath(KEPT_DIRECTORY_NAME);
    if (const int error = unavailable())
        return report.fail(keptPath, "cannot open", error);
    FileReader reader;
    if (isKept(name) && openKept(name, reader) == ReadResult::Failed && errno != ENOENT)
        return report.fail(keptPath + '/' + name, "cannot read", errno);
    return report.fail(path, NOT_KEPT_REASON + advice);
}

void KeptDirectory::openIn(int fileApiFd, bool create)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(fileApiFd, KEPT_DIRECTORY_NAME, flags);
    // Where it can be neither opened nor made, files are written as they
    // are otherwise, and that says why a run fails.
    if (fd < 0 && errno != ENOENT)
        keptError = errno;
    else if (fd < 0 && create && makeDirectory(fileApiFd, KEPT_DIRECTORY_NAME))
        fd = openat(fileApiFd, KEPT_DIRECTORY_NAME, flags);
    kept = FileDescriptor(fd);
    struct stat status;
    if (!kept.isValid() || fstat(fd, &status) != 0)
        return;
    keptDevice = status.st_dev;
    forEachEntry(fd, [this](int, const char *name, unsigned char) {
        keptNames.insert(name);
        return true;
    });
}

ReadResult KeptDirectory::readKept(const QByteArray &name, QByteArray &content)
{
    FileStatus status;
    return kept.isValid() ? readFile(kept.get(), name.constData(), content, status) : ReadResult::Skipped;
}

ReadResult KeptDirectory::openKept(const QByteArray &name, FileReader &reader)
{
    FileStatus status;
    return kept.isValid() ? reader.openAt(kept.get(), name.constData(), status) : ReadResult::Skipped;
}

bool KeptDirectory::keptVersionFor(const QByteArray &name, quint64 device, KeptVersion &version) const
{
    // Names are exchanged only within one file system.
    if (!kept.isValid() || device != keptDevice)
        return false;
    version = { kept.get(), name, false };
    return true;
}

bool KeptDirectory::storeKept(const QByteArray &name, const QByteArray &content)
{
    // Removed first, so that the copy is made anew and renamed into place.
    removeKept(name);
    if (!kept.isValid() || !writeOwnFile(kept.get(), name, content))
        return false;
    keptNames.insert(name);
    return true;
}

void KeptDirectory::addKept(const KeptVersion &version)
{
    if (version.isKept)
        keptNames.insert(version.name);
}

void KeptDirectory::removeKept(const QByteArray &name)
{
    if (kept.isValid())
        unlinkat(kept.get(), name.constData(), 0);
    keptNames.remove(name);
}
