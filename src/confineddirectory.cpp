// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The walk beneath a directory, and removal below one, never through a link.
// openat2 with RESOLVE_BENEATH cannot stand in for the walk: it refuses an
// absolute link that names a file inside, and cannot tell where a link to a
// file ends.

#include "confineddirectory.h"

#include <QtCore/QByteArrayList>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// As many links as the kernel follows in one path.
constexpr int MAX_LINKS = 40;

bool readLink(int directory, const char *name, QByteArray &target)
{
    char buffer[PATH_MAX];
    const ssize_t length = readlinkat(directory, name, buffer, sizeof buffer);
    if (length == sizeof buffer)
        errno = ENAMETOOLONG;
    if (length < 0 || length == sizeof buffer)
        return false;
    target = QByteArray(buffer, length);
    return true;
}

// The components still to walk, the next one last.
void pushComponents(QByteArrayList &pending, const QByteArray &path)
{
    const QByteArrayList components = path.split('/');
    pending.append(QByteArrayList(components.rbegin(), components.rend()));
}

// A directory's path as the user named it, from $PWD where it is relative,
// without "." and empty components; empty where it holds "..", which text
// cannot follow, or no longer leads to the directory held open.
QByteArray namedPath(const QByteArray &path, int fd)
{
    const char *const workingDirectory = path.startsWith('/') ? "" : std::getenv("PWD");
    if (!workingDirectory || (!path.startsWith('/') && workingDirectory[0] != '/'))
        return {};
    const QByteArray named = lexicalPath(workingDirectory + ('/' + path), true);
    struct stat found;
    struct stat held;
    return !named.isEmpty() && stat(named.constData(), &found) == 0 && fstat(fd, &held) == 0 && isSameFile(found, held)
            ? named
            : QByteArray();
}

// The first entry that could not be removed, why, and the directory that
// refused: the entry itself where it could not be opened, its parent otherwise.
struct RemovalFailure
{
    QByteArray path;
    int error = 0;
    FileDescriptor directory;

    void set(const QByteArray &failedPath, int directoryFd, const char *name = nullptr)
    {
        if (!path.isEmpty())
            return;
        error = errno;
        path = failedPath;
        directory = FileDescriptor(name ? openat(directoryFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC)
                                        : fcntl(directoryFd, F_DUPFD_CLOEXEC, 0));
    }
};

// Opened without following a link, so that a link, even one swapped in
// since the listing, is removed as a link. At the top, only a directory or
// a link goes: a file there is no directory, and stays.
bool removeEntry(int directoryFd, const char *name, const QByteArray &path, bool isTop, RemovalFailure &failure)
{
    const FileDescriptor directory(openat(directoryFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const int openError = directory.isValid() ? 0 : errno;
    struct stat status;
    bool removed = openError == ENOENT;
    if (directory.isValid()) {
        bool isEmptied = true;
        const bool isListed = forEachEntry(directory.get(), [&](int listing, const char *entry, unsigned char) {
            isEmptied = removeEntry(listing, entry, path + '/' + entry, false, failure) && isEmptied;
            return true;
        });
        if (!isListed)
            failure.set(path, directory.get());
        removed = isListed && isEmptied
                && (unlinkat(directoryFd, name, AT_REMOVEDIR) == 0
                    || (errno == ENOTDIR && unlinkat(directoryFd, name, 0) == 0));
    } else if (openError == ELOOP || openError == ENOTDIR) {
        removed = (isTop && (fstatat(directoryFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(status.st_mode)))
                || unlinkat(directoryFd, name, 0) == 0 || errno == ENOENT;
    }
    if (!removed)
        failure.set(path, directoryFd, openError == EACCES ? name : nullptr);
    return removed;
}

} // namespace

bool ConfinedDirectory::openRoot(const QByteArray &path)
{
    // Read access is needed only to lock and list the directory; a run in
    // one it may only enter goes on without.
    int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    root = FileDescriptor(fd);
    if (faccessat(fd, ".", X_OK, AT_EACCESS) != 0)
        return false;
    // The path of the directory held open, not of what the path names by now.
    char resolved[PATH_MAX];
    const ssize_t length = readlink(("/proc/self/fd/" + QByteArray::number(fd)).constData(), resolved, sizeof resolved);
    if (length > 0 && length < ssize_t(sizeof resolved) && resolved[0] == '/') {
        rootPath = QByteArray(resolved, length);
    } else if (char *const real = realpath(path.constData(), nullptr)) {
        rootPath = real;
        std::free(real);
    }
    openedPath = namedPath(path, fd);
    return true;
}

qsizetype ConfinedDirectory::rootLength(const QByteArray &target) const
{
    if (rootPath == "/")
        return 0;
    for (const QByteArray &path : { rootPath, openedPath }) {
        if (!path.isEmpty() && (target == path || target.startsWith(path + '/')))
            return path.size();
    }
    return -1;
}

Resolution ConfinedDirectory::openDirectory(const QByteArray &path, FileDescriptor &directory, bool create)
{
    return walk(path, directory, nullptr, nullptr, create);
}

Resolution ConfinedDirectory::locate(const QByteArray &path, FileDescriptor &directory, QByteArray &name,
                                     struct stat &status)
{
    return walk(path, directory, &name, &status, false);
}

// With name, the last component is a file to find; without, every component
// is a directory. The directories below the root that the walk is in stay
// open on a stack, so that ".." goes back to the one it came from and never
// past the root.
Resolution ConfinedDirectory::walk(const QByteArray &path, FileDescriptor &result, QByteArray *name,
                                   struct stat *status, bool create)
{
    std::vector<FileDescriptor> stack;
    bool isTopReadable = true;
    const auto current = [&] { return stack.empty() ? root.get() : stack.back().get(); };
    QByteArrayList pending;
    pushComponents(pending, path);
    for (int links = 0; !pending.isEmpty();) {
        const QByteArray component = pending.takeLast();
        if (component.isEmpty() || component == ".")
            continue;
        if (component == "..") {
            if (stack.empty())
                return Resolution::Outside;
            stack.pop_back();
            isTopReadable = false;
            continue;
        }
        const bool isLast = std::all_of(pending.begin(), pending.end(), [](const QByteArray &c) { return c.isEmpty() || c == "."; });
        QByteArray target;
        if (isLast && name) {
            const bool isMissing = fstatat(current(), component.constData(), status, AT_SYMLINK_NOFOLLOW) != 0;
            if (isMissing && errno != ENOENT)
                return Resolution::Failed;
            if (isMissing || !S_ISLNK(status->st_mode)) {
                result = FileDescriptor(fcntl(current(), F_DUPFD_CLOEXEC, 0));
                *name = component;
                return !result.isValid() ? Resolution::Failed : isMissing ? Resolution::Missing : Resolution::Found;
            }
            if (!readLink(current(), component.constData(), target))
                return Resolution::Failed;
        } else {
            const int flags = O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
            int fd = openat(current(), component.constData(), (isLast ? O_RDONLY : O_PATH) | flags);
            if (fd < 0 && isLast && errno == EACCES)
                fd = openat(current(), component.constData(), O_PATH | flags);
            if (fd >= 0) {
                stack.emplace_back(fd);
                isTopReadable = isLast;
                continue;
            }
            if (errno == ENOENT && create) {
                if (!makeDirectory(current(), component.constData()))
                    return Resolution::Failed;
                pending.append(component);
                continue;
            }
            if (errno == ENOENT)
                return Resolution::Missing;
            if (errno != ENOTDIR)
                return Resolution::Failed;
            // A link, or no directory at all: a file on the way means nothing
            // stands at the path; one at its end, something that is no directory.
            if (!readLink(current(), component.constData(), target))
                return errno != EINVAL ? Resolution::Failed
                        : isLast || create ? Resolution::NotDirectory
                                           : Resolution::Missing;
        }
        if (++links > MAX_LINKS) {
            errno = ELOOP;
            return Resolution::Failed;
        }
        if (target.startsWith('/')) {
            const qsizetype inside = rootLength(target);
            if (inside < 0)
                return Resolution::Outside;
            stack.clear();
            isTopReadable = true;
            target = target.sliced(inside);
        }
        pushComponents(pending, target);
    }
    // The path named a directory.
    if (name)
        *name = ".";
    if (name || !isTopReadable || stack.empty()) {
        int fd = openat(current(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 && errno == EACCES)
            fd = fcntl(current(), F_DUPFD_CLOEXEC, 0);
        result = FileDescriptor(fd);
        if (name && result.isValid())
            fstat(result.get(), status);
        return result.isValid() ? Resolution::Found : Resolution::Failed;
    }
    result = std::move(stack.back());
    return Resolution::Found;
}

bool removeTree(int parent, const QByteArray &name, QByteArray &failedPath, FileDescriptor &failedDirectory)
{
    RemovalFailure failure;
    if (removeEntry(parent, name.constData(), name, true, failure))
        return true;
    failedPath = failure.path;
    failedDirectory = std::move(failure.directory);
    errno = failure.error;
    return false;
}

bool makeDirectory(int parent, const char *name)
{
    if (mkdirat(parent, name, 0777) != 0)
        return errno == EEXIST;
    // Given away through a descriptor, which only a directory opens to:
    // never a file swapped in under the name since.
    const FileDescriptor made(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status;
    if (made.isValid() && fstat(parent, &status) == 0) {
        [[maybe_unused]] const int owned = fchown(made.get(), status.st_uid, status.st_gid);
    }
    return true;
}
