// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Reading and listing files named by an open directory and a name in it,
// never through a link.

#ifndef FILEIO_H
#define FILEIO_H

#include "fileidentity.h"

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayView>
#include <QtCore/QList>

#include <utility>

#include <dirent.h>

struct stat;

// A file descriptor, closed when the object goes.
class FileDescriptor
{
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd(fd) { }
    FileDescriptor(FileDescriptor &&other) noexcept : fd(std::exchange(other.fd, -1)) { }
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        std::swap(fd, other.fd);
        return *this;
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor();

    int get() const { return fd; }
    bool isValid() const { return fd >= 0; }

private:
    int fd = -1;
};

FileIdentity identityOf(const struct stat &status);
FileStatus statusOf(const struct stat &status);

// The status of the regular file name in a directory; false for anything
// else, a link included.
bool readFileStatus(int directoryFd, const char *name, FileStatus &status);

enum class ReadResult {
    Read,
    // Not a regular file: never read.
    Skipped,
    // A link stands at the name: the caller decides where it leads.
    Link,
    // errno says why.
    Failed,
};

class FileReader
{
    Q_DISABLE_COPY_MOVE(FileReader)

public:
    FileReader() = default;
    ~FileReader();

    // A FIFO, socket or device is never read: opening a FIFO does not wait
    // for a writer.
    ReadResult open(int directoryFd, const char *name, FileStatus &status);
    bool readAll(QByteArray &content);
    // Appends up to maxBytes to buffer: nothing at the end of the file.
    bool readMore(QByteArray &buffer, qsizetype maxBytes);
    bool rewind();
    int fd() const { return descriptor; }

private:
    int descriptor = -1;
    qsizetype openedSize = 0;
};

// Reads the regular file name in a directory whole into content, whose
// buffer is reused from call to call.
ReadResult readFile(int directoryFd, const char *name, QByteArray &content, FileStatus &status);
bool readToEnd(int fd, qsizetype sizeHint, QByteArray &content);
bool writeAll(int fd, QByteArrayView content);

struct DirectoryEntry
{
    QByteArray name;
    bool isSymLink = false;
};

// A listing of an open directory from its start, on a descriptor of its
// own; closedir() ends it. Null, with errno set, where it cannot be read.
DIR *openListing(int directoryFd);

// The regular files and links in an open directory, hidden names left out,
// sorted by name ignoring case. A directory that cannot be read is a
// failure, with errno set.
bool listFiles(int directoryFd, QList<DirectoryEntry> &files);

#endif // FILEIO_H
