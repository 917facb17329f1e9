// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// POSIX calls on open directories: Qt Core cannot open a file without
// following a link, or tell an unreadable directory from an empty one.

#include "fileio.h"

#include <QtCore/QFile>
#include <QtCore/QString>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool readToEnd(int fd, qsizetype sizeHint, QByteArray &content)
{
    // One byte more than the file's size, so that the read which ends short
    // at that size ends it, and one that grew since is read to its end.
    if (content.capacity() <= sizeHint) {
        content.resize(0);
        content.reserve(sizeHint + sizeHint / 4 + 1);
    }
    qsizetype used = 0;
    for (qsizetype wanted = sizeHint + 1;; wanted = 2 * used) {
        content.resize(used + wanted);
        const qint64 count = readFully(fd, content.data() + used, wanted, -1, used ? -1 : sizeHint);
        if (count < 0)
            return false;
        used += count;
        if (count < wanted)
            break;
    }
    content.truncate(used);
    return true;
}

} // namespace

FileDescriptor::~FileDescriptor()
{
    if (fd >= 0)
        ::close(fd);
}

FileIdentity identityOf(const struct stat &status)
{
    return { quint64(status.st_dev), quint64(status.st_ino), qint64(status.st_size),
             qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec };
}

FileStatus statusOf(const struct stat &status)
{
    return { status.st_uid, status.st_gid, status.st_mode, identityOf(status) };
}

bool isSameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool readFileStatus(int directoryFd, const char *name, FileStatus &fileStatus)
{
    struct stat status;
    if (fstatat(directoryFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
        return false;
    fileStatus = statusOf(status);
    return true;
}

qint64 readFully(int fd, char *buffer, qint64 size, qint64 offset, qint64 end)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t count = offset < 0 ? ::read(fd, buffer + done, size_t(size - done))
                                         : pread(fd, buffer + done, size_t(size - done), offset + done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return -1;
        done += count;
        if (count == 0 || (done == end && done < size))
            break;
    }
    return done;
}

bool writeAll(int fd, QByteArrayView content)
{
    for (qsizetype done = 0; done < content.size();) {
        const ssize_t count = ::write(fd, content.data() + done, size_t(content.size() - done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        done += count;
    }
    return true;
}

ReadResult FileReader::openAt(int directoryFd, const char *name, FileStatus &fileStatus)
{
    const int fd = openat(directoryFd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return errno == ELOOP ? ReadResult::Link : ReadResult::Failed;
    return adopt(fd, fileStatus);
}

ReadResult FileReader::adopt(int fd, FileStatus &fileStatus)
{
    descriptor = FileDescriptor(fd);
    struct stat status;
    if (fstat(descriptor.get(), &status) != 0)
        return ReadResult::Failed;
    if (!S_ISREG(status.st_mode))
        return ReadResult::Skipped;
    fileStatus = statusOf(status);
    size = status.st_size;
    position = 0;
    return ReadResult::Read;
}

bool FileReader::readMore(QByteArray &buffer, qsizetype maxBytes)
{
    const qsizetype used = buffer.size();
    buffer.resize(used + maxBytes);
    const qint64 count = readFully(descriptor.get(), buffer.data() + used, maxBytes, -1, size - position);
    buffer.truncate(used + std::max<qint64>(count, 0));
    position += std::max<qint64>(count, 0);
    return count >= 0;
}

bool FileReader::seekToStart()
{
    position = 0;
    return lseek(descriptor.get(), 0, SEEK_SET) == 0;
}

ReadResult readFile(int directoryFd, const char *name, QByteArray &content, FileStatus &status)
{
    FileReader reader;
    const ReadResult opened = reader.openAt(directoryFd, name, status);
    if (opened != ReadResult::Read)
        return opened;
    return readToEnd(reader.openFd(), status.identity.size, content) ? ReadResult::Read : ReadResult::Failed;
}


bool forEachEntry(int directoryFd, const std::function<bool(int, const char *, unsigned char)> &visit)
{
    const int fd = openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *const directory = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!directory) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        errno = error;
        return false;
    }
    while (const dirent *entry = (errno = 0, readdir(directory))) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (!visit(dirfd(directory), entry->d_name, entry->d_type)) {
            errno = 0;
            break;
        }
    }
    const int error = errno;
    closedir(directory);
    errno = error;
    return error == 0;
}

bool listFiles(int directoryFd, QList<DirectoryEntry> &files)
{
    QList<std::pair<QString, DirectoryEntry>> listed;
    const bool isListed = forEachEntry(directoryFd, [&](int fd, const char *name, unsigned char type) {
        struct stat status;
        if (name[0] == '.')
            return true;
        if (type == DT_UNKNOWN && fstatat(fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0)
            type = S_ISLNK(status.st_mode) ? DT_LNK : S_ISREG(status.st_mode) ? DT_REG : DT_UNKNOWN;
        if (type == DT_REG || type == DT_LNK)
            listed.append({ QFile::decodeName(name).toLower(), { name, type == DT_LNK } });
        return true;
    });
    // Names that differ only in case keep a fixed order: by their bytes.
    std::sort(listed.begin(), listed.end(), [](const auto &a, const auto &b) {
        const int byKey = a.first.compare(b.first);
        return byKey != 0 ? byKey < 0 : a.second.name < b.second.name;
    });
    files.reserve(files.size() + listed.size());
    for (auto &sorted : listed)
        files.append(std::move(sorted.second));
    return isListed;
}

QByteArray lexicalPath(const QByteArray &path, bool isDotDotRefused)
{
    QByteArrayList components;
    for (const QByteArray &component : path.split('/')) {
        if (component == ".." && isDotDotRefused)
            return {};
        if (component == "..") {
            if (!components.isEmpty())
                components.removeLast();
        } else if (!component.isEmpty() && component != ".") {
            components.append(component);
        }
    }
    return '/' + components.join('/');
}
