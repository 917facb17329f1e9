// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Through a temporary file made with O_EXCL beside the file, or where what
// it replaces is kept, and renamed on directory descriptors: Qt Core cannot
// rename without following links.

#include "filereplacement.h"

#include "fileio.h"
#include "temporaryfiles.h"

#include <algorithm>
#include <cerrno>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Read once for the thousands of files a run replaces; umask() can only be
// read by setting it.
uid_t effectiveUser()
{
    static const uid_t user = geteuid();
    return user;
}

gid_t effectiveGroup()
{
    static const gid_t group = getegid();
    return group;
}

mode_t fileCreationMask()
{
    static const mode_t mask = [] {
        const mode_t current = umask(0);
        umask(current);
        return current;
    }();
    return mask;
}

} // namespace

FileReplacement::~FileReplacement()
{
    abandon();
}

bool FileReplacement::start(int directoryFd, const QByteArray &name, const FileStatus &status, bool isOwnerRequired,
                            KeptVersion *keptVersion)
{
    // The rename would succeed on a file we may not write. An owner may write
    // where the mode lets it: ACLs and capabilities only ever let more.
    const bool ownerMayWrite = status.owner == effectiveUser() && (status.mode & S_IWUSR);
    if (!ownerMayWrite && faccessat(directoryFd, name.constData(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    const bool isCreated = create(directoryFd, name, status, isOwnerRequired, keptVersion);
    isReplacing = true;
    return isCreated;
}

bool FileReplacement::create(int directoryFd, const QByteArray &name, const FileStatus &status, bool isOwnerRequired,
                             KeptVersion *keptVersion)
{
    abandon();
    isReplacing = false;
    directory = directoryFd;
    target = name;
    keep = keptVersion;
    const mode_t mode = status.mode & 07777;
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    temporaryDirectory = keep ? keep->directory : directoryFd;
    // What stands under a kept name is an older version, or a killed run's.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporaryName = keep ? keep->name : TemporaryFiles::newName();
        TemporaryFiles::release(slot);
        slot = TemporaryFiles::registerName(temporaryDirectory, temporaryName);
        if (keep && slot < 0) {
            errno = ENAMETOOLONG;
            break;
        }
        fd = openat(temporaryDirectory, temporaryName.constData(), flags, mode & 0777);
        if (fd < 0 && errno == EEXIST && keep && unlinkat(temporaryDirectory, temporaryName.constData(), 0) != 0)
            break;
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int error = errno;
        TemporaryFiles::release(slot);
        temporaryName.clear();
        errno = error;
        return false;
    }
    // Another user's file becomes ours where we may not give it theirs,
    // unless the owner is required; the mode is set again only where the
    // umask took bits away, or for those creation never sets.
    if (((status.owner != effectiveUser() || status.group != effectiveGroup())
         && fchown(fd, status.owner, status.group) != 0 && isOwnerRequired)
        || ((mode & 0777 & ~fileCreationMask()) != mode && fchmod(fd, mode) != 0)) {
        abandon();
        return false;
    }
    return true;
}

bool FileReplacement::append(QByteArrayView data)
{
    return fd >= 0 && writeAll(fd, data);
}

bool FileReplacement::appendFrom(int source, qint64 length)
{
    char buffer[1 << 16];
    for (qint64 offset = 0; offset < length;) {
        const qint64 count = readFully(source, buffer, std::min<qint64>(sizeof buffer, length - offset), offset);
        if (count == 0)
            errno = EIO; // shorter than what was read of it
        if (count <= 0 || !append(QByteArrayView(buffer, count)))
            return false;
        offset += count;
    }
    return fd >= 0;
}

bool FileReplacement::readIdentity(FileIdentity &identity)
{
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0)
        return false;
    identity = identityOf(status);
    return true;
}

bool FileReplacement::commit(const FileIdentity *expected)
{
    struct stat status;
    // A file that is gone fails with ENOENT, another there with ESTALE.
    const auto isExpected = [&](int directoryFd, const char *name) {
        if (!expected)
            return true;
        if (fstatat(directoryFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        errno = ESTALE;
        return identityOf(status) == *expected;
    };
    if (fd < 0 || ::close(std::exchange(fd, -1)) != 0 || !isExpected(directory, target.constData())) {
        abandon();
        return false;
    }
    // Once exchanged, the registered name holds what is kept, or what another
    // wrote in the moment before, until it is exchanged back: a signal must
    // not remove either.
    std::optional<SignalHold> hold;
    if (keep || (isReplacing && expected))
        hold.emplace();
    // What replaces a file only ever takes its place by an exchange, which
    // fails where it is gone: a file CMake removed since it was read is
    // never made again. Where the file system cannot exchange, it is looked
    // for just before.
    const auto exchange = [&] {
        return renameat2(temporaryDirectory, temporaryName.constData(), directory, target.constData(),
                         keep || isReplacing ? RENAME_EXCHANGE : 0) == 0;
    };
    bool isRenamed = exchange();
    const bool isExchanged = isRenamed && (keep || isReplacing);
    if (!isRenamed && errno == EINVAL && isReplacing && !keep)
        isRenamed = fstatat(directory, target.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0
                && renameat(temporaryDirectory, temporaryName.constData(), directory, target.constData()) == 0;
    if (isExchanged && !isExpected(temporaryDirectory, temporaryName.constData())) {
        const int error = errno;
        if (!exchange()) {
            // Neither name may be removed now: each holds a version of its own.
            temporaryName.clear();
            TemporaryFiles::release(slot);
            errno = error;
            return false;
        }
        isRenamed = false;
        errno = error;
    }
    if (keep)
        keep->isKept = isRenamed;
    if (!isRenamed) {
        abandon();
        return false;
    }
    // The version replaced, unless kept.
    if (isExchanged && !keep)
        unlinkat(temporaryDirectory, temporaryName.constData(), 0);
    temporaryName.clear();
    TemporaryFiles::release(slot);
    return true;
}

void FileReplacement::abandon()
{
    const int error = errno;
    if (fd >= 0)
        ::close(std::exchange(fd, -1));
    if (!temporaryName.isEmpty())
        unlinkat(temporaryDirectory, temporaryName.constData(), 0);
    temporaryName.clear();
    TemporaryFiles::release(slot);
    errno = error;
}

bool replaceFileContent(int directoryFd, const QByteArray &name, const FileStatus &status, const QByteArray &content,
                        FileIdentity *written, KeptVersion *keep)
{
    FileReplacement replacement;
    return replacement.start(directoryFd, name, status, false, keep) && replacement.append(content)
            && (!written || replacement.readIdentity(*written)) && replacement.commit();
}

// A run as root in a user's build directory leaves nothing the user cannot
// replace or remove.
bool writeOwnFile(int directoryFd, const QByteArray &name, const QByteArray &content)
{
    struct stat directory;
    struct stat status;
    if (fstat(directoryFd, &directory) != 0)
        return false;
    const bool exists = fstatat(directoryFd, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT)
        return false;
    if (exists && S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        return false;
    }
    FileStatus created = { directory.st_uid, directory.st_gid, 0666u & ~fileCreationMask(), {} };
    if (exists && S_ISREG(status.st_mode))
        created.mode = status.st_mode;
    FileReplacement replacement;
    return replacement.create(directoryFd, name, created) && replacement.append(content) && replacement.commit();
}
