// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The kept files' directory, made on demand, read and removed by name.

#include "keptoriginals.h"

#include "databasemap.h"
#include "temporaryfiles.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int KeptOriginals::directory(bool create)
{
    // Where there is no place to keep, files are written as they are
    // otherwise, and that says why a run fails.
    const int fileApi = keptDirectory.isValid() ? -1 : layout.fileApiDirectory(create, false);
    if (fileApi < 0)
        return keptDirectory.get();
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(fileApi, KEPT_DIRECTORY_NAME, flags);
    struct stat status;
    if (fd < 0 && errno == ENOENT && create && makeDirectory(fileApi, KEPT_DIRECTORY_NAME))
        fd = openat(fileApi, KEPT_DIRECTORY_NAME, flags);
    if (fd < 0 && errno != ENOENT)
        openError = errno;
    keptDirectory = FileDescriptor(fd);
    if (keptDirectory.isValid() && fstat(fd, &status) == 0)
        device = status.st_dev;
    return keptDirectory.get();
}

void KeptOriginals::list()
{
    if (isNamesListed)
        return;
    isNamesListed = true;
    DIR *const entries = directory() >= 0 ? openListing(keptDirectory.get()) : nullptr;
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

ReadResult KeptOriginals::read(const QByteArray &keptName, QByteArray &content, FileStatus &status)
{
    return directory() >= 0 ? readFile(keptDirectory.get(), keptName.constData(), content, status) : ReadResult::Skipped;
}

ReadResult KeptOriginals::open(const QByteArray &keptName, FileReader &reader, FileStatus &status)
{
    return directory() >= 0 ? reader.open(keptDirectory.get(), keptName.constData(), status) : ReadResult::Skipped;
}

Checksum KeptOriginals::checksum(const QByteArray &keptName, const std::optional<FileIdentity> &identity)
{
    FileReader reader;
    FileStatus status;
    quint64 sum = 0;
    return contains(keptName) && open(keptName, reader, status) == ReadResult::Read
                    && (!identity
                        || (status.identity.size == identity->size && status.identity.modified == identity->modified))
                    && checksumOfRest(reader, sum)
            ? Checksum(sum)
            : Checksum();
}

Checksum KeptOriginals::intactChecksum(const QByteArray &keptName, const Checksum &expected)
{
    if (expected)
        return checksum(keptName) == expected ? expected : Checksum();
    FileStatus status;
    QByteArray content;
    return contains(keptName) && read(keptName, content, status) == ReadResult::Read && isAsNamed(keptName, content)
            ? Checksum(checksumOf(content))
            : Checksum();
}

bool KeptOriginals::prepare(const QByteArray &keptName, quint64 fileDevice, KeptVersion &version)
{
    // Names are exchanged only within one file system.
    if (directory(true) < 0 || device != fileDevice)
        return false;
    version = { keptDirectory.get(), keptName, false };
    return true;
}

bool KeptOriginals::store(const QByteArray &keptName, const QByteArray &content)
{
    // Removed first, so that the copy is made anew and renamed into place.
    // Only where the name stays, in a kept directory the runner cannot
    // write in, is a copy there rewritten in place, which beats leaving it
    // stale.
    remove(keptName);
    if (directory(true) < 0 || !writeOwnFile(keptDirectory.get(), keptName, content))
        return false;
    names.insert(keptName);
    return true;
}

void KeptOriginals::add(const KeptVersion &version)
{
    if (version.isKept)
        names.insert(version.name);
}

void KeptOriginals::remove(const QByteArray &keptName)
{
    if (directory() >= 0)
        unlinkat(keptDirectory.get(), keptName.constData(), 0);
    names.remove(keptName);
}

void KeptOriginals::removeLeftovers()
{
    if (directory() >= 0)
        TemporaryFiles::removeLeftovers(keptDirectory.get());
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

bool KeptOriginals::refuse(RunReport &report, const QByteArray &keptName, const QByteArray &path,
                           const QByteArray &advice)
{
    const QByteArray keptPath = ReplyLayout::fileApiPath(KEPT_DIRECTORY_NAME);
    directory();
    if (openError)
        return report.fail(keptPath, "cannot open", openError);
    FileReader reader;
    FileStatus status;
    if (contains(keptName) && open(keptName, reader, status) == ReadResult::Failed && errno != ENOENT)
        return report.fail(keptPath + '/' + keptName, "cannot read", errno);
    return report.fail(path, NOT_KEPT_REASON + advice);
}
