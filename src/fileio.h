// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Reading and listing files named by an open directory and a name in it,
// never through a link, and what tells one version of a file from another.

#ifndef FILEIO_H
#define FILEIO_H

#include <QtCore/QByteArray>
#include <QtCore/QList>

#include <functional>
#include <utility>

#include <dirent.h>

struct stat;

// A file written again, or replaced, gets another identity.
struct FileIdentity
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modified = 0; // nanoseconds since the epoch

    bool isValid() const { return size >= 0; }
    friend bool operator==(const FileIdentity &a, const FileIdentity &b)
    {
        return a.device == b.device && a.inode == b.inode && a.size == b.size && a.modified == b.modified;
    }
    friend bool operator!=(const FileIdentity &a, const FileIdentity &b) { return !(a == b); }
};

struct FileStatus
{
    unsigned owner = 0;
    unsigned group = 0;
    unsigned mode = 0;
    FileIdentity identity;
};

class FileDescriptor
{
    Q_DISABLE_COPY(FileDescriptor)

public:
    explicit FileDescriptor(int fd = -1) : fd(fd) { }
    FileDescriptor(FileDescriptor &&other) noexcept : fd(std::exchange(other.fd, -1)) { }
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        std::swap(fd, other.fd);
        return *this;
    }
    ~FileDescriptor();

    int get() const { return fd; }
    bool isValid() const { return fd >= 0; }

private:
    int fd;
};

FileIdentity identityOf(const struct stat &status);
FileStatus statusOf(const struct stat &status);
// Whether two statuses are of one file: its device and inode.
bool isSameFile(const struct stat &a, const struct stat &b);
// False for anything but a regular file, a link included.
bool readFileStatus(int directoryFd, const char *name, FileStatus &status);

// Reads up to size bytes into buffer, at offset, or from the file's
// position where offset is negative, until size, the end of the file, or a
// short read that ends at end, where the caller knows the end: the count
// read, or -1 with errno set.
qint64 readFully(int fd, char *buffer, qint64 size, qint64 offset = -1, qint64 end = -1);
bool writeAll(int fd, QByteArrayView content);

enum class ReadResult {
    Read,
    // No regular file: never read.
    Skipped,
    // A link: the caller decides what it is.
    Link,
    // errno says why.
    Failed,
};

class FileReader
{
public:
    // Opens without waiting, as a FIFO would for a writer, and never through
    // a link: a link is Link, a FIFO or a device Skipped, and a socket,
    // which no one opens, Failed.
    ReadResult openAt(int directoryFd, const char *name, FileStatus &status);
    // Takes over a descriptor opened elsewhere, as openAt() its own.
    ReadResult adopt(int fd, FileStatus &status);
    // Appends up to maxBytes to buffer, fewer at the end of the file, where
    // the read that finds the size it had when opened ends it.
    bool readMore(QByteArray &buffer, qsizetype maxBytes);
    bool seekToStart();
    int openFd() const { return descriptor.get(); }

private:
    FileDescriptor descriptor;
    qint64 size = -1;
    qint64 position = 0;
};

// Where content has room for the file already, that room is used.
ReadResult readFile(int directoryFd, const char *name, QByteArray &content, FileStatus &status);

struct DirectoryEntry
{
    QByteArray name;
    bool isSymLink = false;
};

// Each entry but "." and "..", from the directory's start on a listing of
// its own: visit gets the listing's descriptor, the name and its d_type, and
// returns false to stop. False, with errno set, where the directory cannot be
// listed to its end.
bool forEachEntry(int directoryFd, const std::function<bool(int, const char *, unsigned char)> &visit);
// Regular files and links, hidden names left out, sorted by name ignoring case.
bool listFiles(int directoryFd, QList<DirectoryEntry> &files);

// path without "." and empty components, "/" for the root: each ".." takes
// the component before it away, or, where refused, makes the whole empty.
QByteArray lexicalPath(const QByteArray &path, bool isDotDotRefused);

#endif // FILEIO_H
