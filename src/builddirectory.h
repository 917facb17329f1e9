// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The build directory, held open for the whole run, and every path a run
// takes resolved beneath it.

#ifndef BUILDDIRECTORY_H
#define BUILDDIRECTORY_H

#include <QtCore/QByteArray>

#include <utility>

#include <sys/stat.h>

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

enum class Resolution {
    Found,
    Missing,
    // Something that is no directory stands where a directory was asked for.
    NotDirectory,
    // A link on the way leads out of the build directory.
    Outside,
    // errno says why.
    Failed,
};

// The build environment writes the build directory and may leave links
// anywhere in it. A link is followed only while it stays inside, so that a
// run never reads, writes, creates or removes anything outside. Every path
// is resolved from the directory's descriptor, component by component, so
// that a link swapped in while the run goes on cannot lead out either.
class BuildDirectory
{
public:
    // Opens the directory at path as it resolves now: a link on the way
    // there was the user's choice. Fails with errno set.
    bool open(const QByteArray &path);
    int fd() const { return root.get(); }

    // The directory at a path relative to the build directory, opened for
    // reading where it may be read. With create, what is missing is made.
    Resolution openDirectory(const QByteArray &path, FileDescriptor &directory, bool create = false);
    // Follows a path relative to the build directory to the file it names,
    // and opens the directory that holds that file: name is the file's name
    // there, and status its status. Missing: the directory holds no such file.
    Resolution locate(const QByteArray &path, FileDescriptor &directory, QByteArray &name, struct stat &status);

private:
    Resolution walk(const QByteArray &path, FileDescriptor &result, QByteArray *name, struct stat *status, bool create);

    FileDescriptor root;
    // The directory's path when the run started, for links that name a
    // file inside it by an absolute path.
    QByteArray rootPath;
    bool mayUseOpenat2 = true;
};

// Removes the directory name in parent and everything below it, never
// through a link: a link, there or below, is removed as a link. A missing
// directory counts as removed, and a file there is no directory and stays.
// On failure, failedPath is the path, from parent, of the first entry that
// could not be removed, and errno says why.
bool removeTree(int parent, const QByteArray &name, QByteArray &failedPath);

#endif // BUILDDIRECTORY_H
