// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Reading, listing and replacing reply files through POSIX calls: Qt Core
// cannot create an exclusive hidden temporary file beside a link's target,
// copy the mode onto the open file, rename over an existing file, or tell an
// unreadable directory from an empty one.

#include "replyfiles.h"

#include <QtCore/QFile>
#include <QtCore/QString>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// mkostemp replaces the six X with ASCII letters and digits.
constexpr char TEMPORARY_FILE_TEMPLATE[] = ".dorvane-XXXXXX";

bool isTemporaryFileName(std::string_view name)
{
    constexpr std::string_view pattern = TEMPORARY_FILE_TEMPLATE;
    constexpr size_t prefixLength = pattern.size() - 6;
    return name.size() == pattern.size() && name.substr(0, prefixLength) == pattern.substr(0, prefixLength)
            && std::all_of(name.begin() + prefixLength, name.end(), [](char c) {
                   return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
               });
}

// The temporary file being written, so that a signal that ends the run does
// not leave it behind.
char pendingTemporaryFile[PATH_MAX];
volatile sig_atomic_t hasPendingTemporaryFile = 0;

void removePendingTemporaryFile(int signalNumber)
{
    if (hasPendingTemporaryFile)
        unlink(pendingTemporaryFile);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void setPendingTemporaryFile(const QByteArray &path)
{
    hasPendingTemporaryFile = 0;
    if (path.size() < qsizetype(sizeof pendingTemporaryFile)) {
        std::memcpy(pendingTemporaryFile, path.constData(), path.size() + 1);
        hasPendingTemporaryFile = 1;
    }
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

bool readFileIdentity(int fd, FileIdentity *identity)
{
    struct stat status;
    if (!identity)
        return true;
    if (fstat(fd, &status) != 0)
        return false;
    *identity = identityOf(status);
    return true;
}

// The fallback when no temporary file can be made beside the file, say in a
// read-only directory. Not atomic, so on a failed write the old content is
// put back.
bool rewriteInPlace(const char *path, const QByteArray &content, FileIdentity *written)
{
    const int fd = ::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat status;
    QByteArray original;
    bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && readToEnd(fd, status.st_size, original)
            && lseek(fd, 0, SEEK_SET) == 0;
    if (ok && !(writeAll(fd, content) && ftruncate(fd, content.size()) == 0)) {
        // The run fails either way; what matters is the old content back.
        [[maybe_unused]] const bool restored = lseek(fd, 0, SEEK_SET) == 0 && writeAll(fd, original)
                && ftruncate(fd, original.size()) == 0;
        ok = false;
    }
    ok = ok && readFileIdentity(fd, written);
    return ::close(fd) == 0 && ok;
}

} // namespace

bool listReplyFiles(const char *directoryPath, QList<ReplyFile> &files)
{
    DIR *const directory = opendir(directoryPath);
    if (!directory)
        return errno == ENOTDIR || errno == ENOENT;
    const int directoryFd = dirfd(directory);
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
        if (type == DT_UNKNOWN && fstatat(directoryFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0)
            type = S_ISLNK(status.st_mode) ? DT_LNK : S_ISREG(status.st_mode) ? DT_REG : DT_UNKNOWN;
        // A link is followed when its file is rewritten: only links to regular files are.
        if (type != DT_REG && type != DT_LNK)
            continue;
        const QByteArray name(entry->d_name);
        listed.append({ QFile::decodeName(name).toLower(), { name, type == DT_LNK } });
    }
    closedir(directory);
    // Names that differ only in case keep a fixed order: by their bytes.
    std::sort(listed.begin(), listed.end(), [](const SortedFile &a, const SortedFile &b) {
        const int byKey = a.sortKey.compare(b.sortKey);
        return byKey != 0 ? byKey < 0 : a.file.name < b.file.name;
    });
    for (const SortedFile &sorted : std::as_const(listed))
        files.append(sorted.file);
    return ok;
}

FileReader::~FileReader()
{
    if (fd >= 0)
        ::close(fd);
}

ReadResult FileReader::open(const QByteArray &filePath, bool isSymLink, FileStatus &fileStatus)
{
    // Only regular files are rewritten. A broken link or a link to a directory
    // is no reply file, and a link to a FIFO, socket or device is never opened:
    // opening a FIFO waits for a writer.
    struct stat status;
    if (isSymLink && (stat(filePath.constData(), &status) != 0 || !S_ISREG(status.st_mode)))
        return ReadResult::Skipped;
    fd = ::open(filePath.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return ReadResult::Failed;
    if (fstat(fd, &status) != 0)
        return ReadResult::Failed;
    if (!S_ISREG(status.st_mode))
        return ReadResult::Skipped;
    fileStatus = { status.st_uid, status.st_gid, status.st_mode, identityOf(status) };
    openedSize = status.st_size;
    return ReadResult::Read;
}

bool FileReader::readAll(QByteArray &content)
{
    return readToEnd(fd, openedSize, content);
}

bool FileReader::readMore(QByteArray &buffer, qsizetype maxBytes)
{
    const qsizetype used = buffer.size();
    buffer.resize(used + maxBytes);
    for (;;) {
        const ssize_t count = ::read(fd, buffer.data() + used, maxBytes);
        if (count < 0 && errno == EINTR)
            continue;
        buffer.truncate(used + std::max<ssize_t>(count, 0));
        return count >= 0;
    }
}

ReadResult readReplyFile(const QByteArray &filePath, bool isSymLink, QByteArray &content, FileStatus &status)
{
    FileReader reader;
    const ReadResult opened = reader.open(filePath, isSymLink, status);
    if (opened != ReadResult::Read)
        return opened;
    return reader.readAll(content) ? ReadResult::Read : ReadResult::Failed;
}

FileReplacement::~FileReplacement()
{
    abandon();
}

FileReplacement::Result FileReplacement::start(const QByteArray &filePath, bool isSymLink, const FileStatus &status)
{
    target = filePath;
    if (isSymLink) {
        char *const resolved = realpath(filePath.constData(), nullptr);
        if (!resolved)
            return Refused;
        target = resolved;
        std::free(resolved);
    }
    // The rename would succeed on a file we may not write; refuse it as a
    // direct write would. An owner may write where the mode lets it: ACLs and
    // capabilities only ever let more.
    const bool ownerMayWrite = status.owner == effectiveUser() && (status.mode & S_IWUSR);
    if (!ownerMayWrite && faccessat(AT_FDCWD, target.constData(), W_OK, AT_EACCESS) != 0)
        return Refused;
    return create(target, status);
}

FileReplacement::Result FileReplacement::create(const QByteArray &path, const FileStatus &status)
{
    target = path;
    temporaryPath = target.left(target.lastIndexOf('/') + 1) + TEMPORARY_FILE_TEMPLATE;
    fd = mkostemp(temporaryPath.data(), O_CLOEXEC);
    if (fd < 0)
        return NoTemporaryFile;
    setPendingTemporaryFile(temporaryPath);
    const bool keepsOwner = (status.owner == effectiveUser() && status.group == effectiveGroup())
            || fchown(fd, status.owner, status.group) == 0;
    if (keepsOwner && fchmod(fd, status.mode & 07777) == 0)
        return Started;
    abandon();
    return StatusNotKept;
}

bool FileReplacement::append(QByteArrayView data)
{
    return fd >= 0 && writeAll(fd, data);
}

// A rename keeps the modification time, so the identity read before it is
// the one the file has once it is in place.
bool FileReplacement::readIdentity(FileIdentity &identity)
{
    return fd >= 0 && readFileIdentity(fd, &identity);
}

bool FileReplacement::commit()
{
    if (fd < 0)
        return false;
    const bool closed = ::close(fd) == 0;
    fd = -1;
    if (!closed || rename(temporaryPath.constData(), target.constData()) != 0) {
        abandon();
        return false;
    }
    temporaryPath.clear();
    hasPendingTemporaryFile = 0;
    return true;
}

void FileReplacement::abandon()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    if (!temporaryPath.isEmpty())
        unlink(temporaryPath.constData());
    temporaryPath.clear();
    hasPendingTemporaryFile = 0;
}

// Through a temporary file beside the file and a rename. Through a symbolic
// link the link stays and the file it points to is replaced.
bool replaceFileContent(const QByteArray &filePath, bool isSymLink, const FileStatus &status,
                        const QByteArray &content, FileIdentity *written)
{
    FileReplacement replacement;
    switch (replacement.start(filePath, isSymLink, status)) {
    case FileReplacement::Started:
        return replacement.append(content) && (!written || replacement.readIdentity(*written)) && replacement.commit();
    case FileReplacement::Refused:
        return false;
    case FileReplacement::NoTemporaryFile:
    case FileReplacement::StatusNotKept:
        // Only an in-place write keeps an owner or mode we cannot set.
        break;
    }
    return rewriteInPlace(replacement.targetPath().constData(), content, written);
}

bool readFileIdentity(const QByteArray &path, FileIdentity &identity)
{
    struct stat status;
    if (stat(path.constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    identity = identityOf(status);
    return true;
}

bool writeOwnFile(const QByteArray &path, const QByteArray &content)
{
    struct stat status;
    if (lstat(path.constData(), &status) == 0) {
        if (!S_ISREG(status.st_mode))
            return false;
        return replaceFileContent(path, false, { status.st_uid, status.st_gid, status.st_mode, identityOf(status) },
                                  content);
    }
    if (errno != ENOENT)
        return false;
    const mode_t mask = umask(0);
    umask(mask);
    FileReplacement replacement;
    return replacement.create(path, { geteuid(), getegid(), 0666 & ~mask, {} }) == FileReplacement::Started
            && replacement.append(content) && replacement.commit();
}

void removeTemporaryFileOnSignal()
{
    for (const int signalNumber : { SIGHUP, SIGINT, SIGTERM }) {
        struct sigaction current = {};
        if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
            continue;
        struct sigaction cleanup = {};
        cleanup.sa_handler = removePendingTemporaryFile;
        sigemptyset(&cleanup.sa_mask);
        sigaction(signalNumber, &cleanup, nullptr);
    }
}

void removeLeftoverTemporaryFiles(const char *directoryPath)
{
    DIR *const directory = opendir(directoryPath);
    if (!directory)
        return;
    // What cannot be removed stays: it is in no one's way.
    const int directoryFd = dirfd(directory);
    while (const dirent *entry = readdir(directory)) {
        struct stat status;
        if (isTemporaryFileName(entry->d_name) && fstatat(directoryFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(status.st_mode))
            unlinkat(directoryFd, entry->d_name, 0);
    }
    closedir(directory);
}
