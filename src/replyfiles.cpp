// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Reading, listing and replacing reply files through POSIX calls on open
// directories: Qt Core cannot open a file without following a link, make an
// exclusive hidden temporary file beside a link's target, rename over an
// existing file, or tell an unreadable directory from an empty one.

#include "replyfiles.h"

#include <QtCore/QFile>
#include <QtCore/QRandomGenerator>
#include <QtCore/QString>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char TEMPORARY_FILE_PREFIX[] = ".dorvane-";
constexpr int TEMPORARY_FILE_LETTERS = 6;
constexpr char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool isTemporaryFileName(std::string_view name)
{
    constexpr std::string_view prefix = TEMPORARY_FILE_PREFIX;
    return name.size() == prefix.size() + TEMPORARY_FILE_LETTERS && name.substr(0, prefix.size()) == prefix
            && std::all_of(name.begin() + prefix.size(), name.end(), [](char c) {
                   return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
               });
}

// The temporary files being written, so that a signal that ends the run
// leaves none behind. A run writes at most two at once: the database's, and
// the note's, saved while the database is written. A slot is taken by
// setting its directory last and given back by clearing it, so the handler
// only ever sees a whole name.
struct PendingFile
{
    volatile sig_atomic_t directory = -1;
    char name[NAME_MAX + 1] = {};
    // While its name is exchanged with the file it replaces, the name may
    // hold the version kept instead: only the file of this inode goes then.
    volatile sig_atomic_t isExchanging = 0;
    volatile ino_t inode = 0;
    // Where the version kept goes once exchanged, for one named only then.
    char keptName[NAME_MAX + 1] = {};
};
PendingFile pendingFiles[4];

void removePendingFiles(int signalNumber)
{
    for (const PendingFile &file : pendingFiles) {
        struct stat status;
        if (file.directory < 0)
            continue;
        if (!file.isExchanging
            || (fstatat(file.directory, file.name, &status, AT_SYMLINK_NOFOLLOW) == 0 && status.st_ino == file.inode))
            unlinkat(file.directory, file.name, 0);
        else if (file.keptName[0] != '\0')
            renameat(file.directory, file.name, file.directory, file.keptName);
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

int takePendingSlot(int directory, const QByteArray &name)
{
    for (PendingFile &file : pendingFiles) {
        if (file.directory < 0) {
            std::copy(name.begin(), name.end(), file.name);
            file.name[name.size()] = '\0';
            file.isExchanging = 0;
            file.inode = 0;
            file.keptName[0] = '\0';
            std::atomic_signal_fence(std::memory_order_release);
            file.directory = directory;
            return int(&file - pendingFiles);
        }
    }
    return -1; // more than a run ever writes at once; the file goes unguarded
}

// Read only once the exchange is under way.
void setPendingKeptName(int slot, const QByteArray &name)
{
    if (slot >= 0) {
        std::copy(name.begin(), name.end(), pendingFiles[slot].keptName);
        pendingFiles[slot].keptName[name.size()] = '\0';
    }
}

void setPendingExchange(int slot)
{
    if (slot >= 0) {
        // The kept name and the inode are whole before the handler acts on them.
        std::atomic_signal_fence(std::memory_order_release);
        pendingFiles[slot].isExchanging = 1;
    }
}

void givePendingSlotBack(int &slot)
{
    if (slot >= 0)
        pendingFiles[slot].directory = -1;
    slot = -1;
}

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

bool readToEnd(int fd, qsizetype sizeHint, QByteArray &content)
{
    // Room for one byte more than the file's size, so that the read which
    // finds the end of the file is not the one that fills the buffer. The
    // buffer is reused from file to file: it only ever grows.
    if (content.capacity() <= sizeHint) {
        content.resize(0);
        content.reserve(sizeHint + sizeHint / 4 + 1);
    }
    content.resize(sizeHint + 1);
    qsizetype used = 0;
    for (;;) {
        if (used == content.size())
            content.resize(used * 2);
        const qsizetype wanted = content.size() - used;
        const ssize_t count = ::read(fd, content.data() + used, wanted);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return false;
        used += count;
        // A regular file reads short only at its end; where that is the size
        // it had when opened, asking again would only read nothing.
        if (count == 0 || (count < wanted && used == sizeHint))
            break;
    }
    content.truncate(used);
    return true;
}

bool writeAll(int fd, QByteArrayView content)
{
    const char *data = content.constData();
    qsizetype left = content.size();
    while (left > 0) {
        const ssize_t count = ::write(fd, data, left);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        data += count;
        left -= count;
    }
    return true;
}

FileIdentity identityOf(const struct stat &status)
{
    return { quint64(status.st_dev), quint64(status.st_ino), qint64(status.st_size),
             qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec };
}

bool readIdentity(int fd, FileIdentity *identity)
{
    struct stat status;
    if (!identity)
        return true;
    if (fstat(fd, &status) != 0)
        return false;
    *identity = identityOf(status);
    return true;
}

// Closes a descriptor and keeps errno, for the paths that already failed.
void closeKeepingError(int fd)
{
    const int error = errno;
    ::close(fd);
    errno = error;
}

// The fallback when no temporary file can be made beside the file, say in a
// read-only directory. Not atomic, so on a failed write the old content is
// put back. A file with other hard links is not written: they may lie
// outside the build directory, and would get the new content too.
bool rewriteInPlace(int directoryFd, const char *name, const QByteArray &content, FileIdentity *written)
{
    const int fd = openat(directoryFd, name, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat status;
    QByteArray original;
    bool ok = fstat(fd, &status) == 0 && (S_ISREG(status.st_mode) || (errno = EINVAL, false))
            && (status.st_nlink <= 1 || (errno = EMLINK, false))
            && readToEnd(fd, status.st_size, original) && lseek(fd, 0, SEEK_SET) == 0;
    if (ok && !(writeAll(fd, content) && ftruncate(fd, content.size()) == 0)) {
        // The run fails either way; what matters is the old content back.
        const int error = errno;
        [[maybe_unused]] const bool restored = lseek(fd, 0, SEEK_SET) == 0 && writeAll(fd, original)
                && ftruncate(fd, original.size()) == 0;
        errno = error;
        ok = false;
    }
    ok = ok && readIdentity(fd, written);
    if (!ok) {
        closeKeepingError(fd);
        return false;
    }
    return ::close(fd) == 0;
}

} // namespace

FileStatus statusOf(const struct stat &status)
{
    return { status.st_uid, status.st_gid, status.st_mode, identityOf(status) };
}

DIR *openListing(int directoryFd)
{
    const int fd = openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *const directory = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!directory && fd >= 0)
        closeKeepingError(fd);
    return directory;
}

bool listReplyFiles(int directoryFd, QList<ReplyFile> &files)
{
    DIR *const directory = openListing(directoryFd);
    if (!directory)
        return false;
    const int fd = dirfd(directory);
    struct SortedFile
    {
        QString sortKey;
        ReplyFile file;
    };
    QList<SortedFile> listed;
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent *const entry = readdir(directory);
        if (!entry) {
            ok = errno == 0;
            break;
        }
        if (entry->d_name[0] == '.')
            continue;
        unsigned char type = entry->d_type;
        struct stat status;
        if (type == DT_UNKNOWN && fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0)
            type = S_ISLNK(status.st_mode) ? DT_LNK : S_ISREG(status.st_mode) ? DT_REG : DT_UNKNOWN;
        // A link is followed when its file is rewritten: only links to regular files are.
        if (type != DT_REG && type != DT_LNK)
            continue;
        const QByteArray name(entry->d_name);
        listed.append({ QFile::decodeName(name).toLower(), { name, type == DT_LNK } });
    }
    const int error = errno;
    closedir(directory);
    errno = error;
    // Names that differ only in case keep a fixed order: by their bytes.
    std::sort(listed.begin(), listed.end(), [](const SortedFile &a, const SortedFile &b) {
        const int byKey = a.sortKey.compare(b.sortKey);
        return byKey != 0 ? byKey < 0 : a.file.name < b.file.name;
    });
    for (const SortedFile &sorted : std::as_const(listed))
        files.append(sorted.file);
    return ok;
}

bool readFileStatus(int directoryFd, const char *name, FileStatus &fileStatus)
{
    struct stat status;
    if (fstatat(directoryFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
        return false;
    fileStatus = statusOf(status);
    return true;
}

FileReader::~FileReader()
{
    if (descriptor >= 0)
        ::close(descriptor);
}

ReadResult FileReader::open(int directoryFd, const char *name, FileStatus &fileStatus)
{
    descriptor = openat(directoryFd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (descriptor < 0)
        return errno == ELOOP ? ReadResult::Link : ReadResult::Failed;
    struct stat status;
    if (fstat(descriptor, &status) != 0)
        return ReadResult::Failed;
    if (!S_ISREG(status.st_mode))
        return ReadResult::Skipped;
    fileStatus = statusOf(status);
    openedSize = status.st_size;
    return ReadResult::Read;
}

bool FileReader::readAll(QByteArray &content)
{
    return readToEnd(descriptor, openedSize, content);
}

bool FileReader::readMore(QByteArray &buffer, qsizetype maxBytes)
{
    const qsizetype used = buffer.size();
    buffer.resize(used + maxBytes);
    for (;;) {
        const ssize_t count = ::read(descriptor, buffer.data() + used, maxBytes);
        if (count < 0 && errno == EINTR)
            continue;
        buffer.truncate(used + std::max<ssize_t>(count, 0));
        return count >= 0;
    }
}

ReadResult readReplyFile(int directoryFd, const char *name, QByteArray &content, FileStatus &status)
{
    FileReader reader;
    const ReadResult opened = reader.open(directoryFd, name, status);
    if (opened != ReadResult::Read)
        return opened;
    return reader.readAll(content) ? ReadResult::Read : ReadResult::Failed;
}

FileReplacement::~FileReplacement()
{
    abandon();
}

FileReplacement::Result FileReplacement::start(int directoryFd, const QByteArray &name, const FileStatus &status,
                                               bool isOwnerRequired, KeptVersion *keptVersion)
{
    // The rename would succeed on a file we may not write; refuse it as a
    // direct write would. An owner may write where the mode lets it: ACLs and
    // capabilities only ever let more.
    const bool ownerMayWrite = status.owner == effectiveUser() && (status.mode & S_IWUSR);
    if (!ownerMayWrite && faccessat(directoryFd, name.constData(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        return Refused;
    return create(directoryFd, name, status, isOwnerRequired, keptVersion);
}

FileReplacement::Result FileReplacement::create(int directoryFd, const QByteArray &name, const FileStatus &status,
                                                bool isOwnerRequired, KeptVersion *keptVersion)
{
    directory = directoryFd;
    target = name;
    const mode_t mode = status.mode & 07777;
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    // The signal handler knows each name before the file is made, so that
    // none is left behind.
    if (keptVersion && keptVersion->name.size() > NAME_MAX) {
        errno = ENAMETOOLONG;
        return NoTemporaryFile;
    }
    keep = keptVersion;
    if (keep && !keep->isNamedOnceKept) {
        temporaryDirectory = keep->directory;
        temporaryName = keep->name;
        pendingSlot = takePendingSlot(temporaryDirectory, temporaryName);
        // What stands under the kept name is an older version's, or what a
        // killed run was writing.
        fd = openat(temporaryDirectory, temporaryName.constData(), flags, mode & 0777);
        if (fd < 0 && errno == EEXIST && unlinkat(temporaryDirectory, temporaryName.constData(), 0) == 0)
            fd = openat(temporaryDirectory, temporaryName.constData(), flags, mode & 0777);
    }
    for (int attempt = 0; (!keep || keep->isNamedOnceKept) && attempt < 100 && fd < 0; ++attempt) {
        temporaryDirectory = keep ? keep->directory : directoryFd;
        temporaryName = TEMPORARY_FILE_PREFIX;
        for (int i = 0; i < TEMPORARY_FILE_LETTERS; ++i)
            temporaryName += LETTERS[QRandomGenerator::global()->bounded(int(sizeof LETTERS - 1))];
        givePendingSlotBack(pendingSlot);
        pendingSlot = takePendingSlot(temporaryDirectory, temporaryName);
        fd = openat(temporaryDirectory, temporaryName.constData(), flags, mode & 0777);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int error = errno;
        givePendingSlotBack(pendingSlot);
        temporaryName.clear();
        errno = error;
        return NoTemporaryFile;
    }
    if (keep && keep->isNamedOnceKept)
        setPendingKeptName(pendingSlot, keep->name);
    // Another user's file is replaced by one of ours where we may not give
    // it theirs, unless the caller needs the owner kept.
    if ((status.owner != effectiveUser() || status.group != effectiveGroup())
        && fchown(fd, status.owner, status.group) != 0 && isOwnerRequired) {
        abandon();
        return OwnerNotKept;
    }
    // Only where the umask took a bit away, or for the bits creation never
    // sets, does the mode need setting again.
    if (((mode & 0777 & ~fileCreationMask()) != mode) && fchmod(fd, mode) != 0) {
        abandon();
        return OwnerNotKept;
    }
    return Started;
}

bool FileReplacement::append(QByteArrayView data)
{
    return fd >= 0 && writeAll(fd, data);
}

bool FileReplacement::appendFrom(int source, qint64 length)
{
    if (fd < 0)
        return false;
    loff_t offset = 0;
    while (offset < length) {
        const ssize_t copied = copy_file_range(source, &offset, fd, nullptr, size_t(length - offset), 0);
        if (copied > 0)
            continue;
        if (copied == 0) {
            errno = EIO; // the file is shorter than what was read of it
            return false;
        }
        if (errno == EINTR)
            continue;
        // Across file systems, or where the kernel cannot: by hand.
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return false;
        char buffer[1 << 16];
        while (offset < length) {
            const ssize_t count = pread(source, buffer, size_t(std::min<qint64>(sizeof buffer, length - offset)), offset);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0 || !writeAll(fd, QByteArrayView(buffer, count)))
                return count == 0 ? (errno = EIO, false) : false;
            offset += count;
        }
    }
    return true;
}

// A rename keeps the modification time, so the identity read before it is
// the one the file has once it is in place.
bool FileReplacement::readIdentity(FileIdentity &identity)
{
    if (fd < 0 || !::readIdentity(fd, &identity))
        return false;
    if (pendingSlot >= 0)
        pendingFiles[pendingSlot].inode = ino_t(identity.inode);
    return true;
}

bool FileReplacement::commit()
{
    if (fd < 0)
        return false;
    // The handler tells by the inode whether the exchange is done.
    FileIdentity identity;
    if (keep && pendingSlot >= 0 && pendingFiles[pendingSlot].inode == 0 && !readIdentity(identity)) {
        abandon();
        return false;
    }
    const bool closed = ::close(fd) == 0;
    fd = -1;
    if (!closed) {
        abandon();
        return false;
    }
    // Exchanged, the temporary name holds the version kept. A signal that
    // comes before the handler lets go of it removes that version, as it
    // would have removed the new one: a kept version is only ever a spare.
    if (keep) {
        setPendingExchange(pendingSlot);
        keep->isKept = renameat2(temporaryDirectory, temporaryName.constData(), directory, target.constData(),
                                 RENAME_EXCHANGE)
                == 0;
        if (!keep->isKept) {
            abandon();
            return false;
        }
        // The new version is in place whatever comes of the name.
        if (keep->isNamedOnceKept
            && renameat(temporaryDirectory, temporaryName.constData(), temporaryDirectory, keep->name.constData()) != 0) {
            keep->isKept = false;
            unlinkat(temporaryDirectory, temporaryName.constData(), 0);
        }
        givePendingSlotBack(pendingSlot);
        temporaryName.clear();
        return true;
    }
    if (renameat(temporaryDirectory, temporaryName.constData(), directory, target.constData()) != 0) {
        abandon();
        return false;
    }
    temporaryName.clear();
    givePendingSlotBack(pendingSlot);
    return true;
}

void FileReplacement::abandon()
{
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    if (!temporaryName.isEmpty())
        unlinkat(temporaryDirectory, temporaryName.constData(), 0);
    temporaryName.clear();
    givePendingSlotBack(pendingSlot);
    errno = error;
}

bool replaceFileContent(int directoryFd, const QByteArray &name, const FileStatus &status, const QByteArray &content,
                        FileIdentity *written, KeptVersion *keep)
{
    FileReplacement replacement;
    switch (replacement.start(directoryFd, name, status, false, keep)) {
    case FileReplacement::Started:
        return replacement.append(content) && (!written || replacement.readIdentity(*written)) && replacement.commit();
    case FileReplacement::Refused:
    case FileReplacement::OwnerNotKept:
        return false;
    case FileReplacement::NoTemporaryFile:
        break;
    }
    return !keep && rewriteInPlace(directoryFd, name.constData(), content, written);
}

bool writeOwnFile(int directoryFd, const QByteArray &name, const QByteArray &content)
{
    struct stat status;
    const bool exists = fstatat(directoryFd, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT)
        return false;
    if (exists && S_ISREG(status.st_mode))
        return replaceFileContent(directoryFd, name, statusOf(status), content);
    if (exists && S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        return false;
    }
    FileReplacement replacement;
    const FileStatus created = { effectiveUser(), effectiveGroup(), 0666u & ~fileCreationMask(), {} };
    return replacement.create(directoryFd, name, created) == FileReplacement::Started && replacement.append(content)
            && replacement.commit();
}

void removeTemporaryFilesOnSignal()
{
    for (const int signalNumber : { SIGHUP, SIGINT, SIGTERM }) {
        struct sigaction current = {};
        if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
            continue;
        struct sigaction cleanup = {};
        cleanup.sa_handler = removePendingFiles;
        sigemptyset(&cleanup.sa_mask);
        sigaction(signalNumber, &cleanup, nullptr);
    }
}

void removeLeftoverTemporaryFiles(int directoryFd)
{
    DIR *const directory = openListing(directoryFd);
    if (!directory)
        return;
    const int fd = dirfd(directory);
    // What cannot be removed stays: it is in no one's way.
    while (const dirent *entry = readdir(directory)) {
        struct stat status;
        if (isTemporaryFileName(entry->d_name) && fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(status.st_mode))
            unlinkat(fd, entry->d_name, 0);
    }
    closedir(directory);
}
