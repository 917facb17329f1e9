// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// inotify itself, not QFileSystemWatcher: its events name the file, so that
// the run's own writes beside the reply (the note, what is kept) wake
// nothing, and poll() waits for the settle time with no event loop. Another
// watch is told by an abstract socket named after the build directory,
// which the kernel lets go however the process ends.

#include "buildwatch.h"

#include "buildpaths.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QDeadlineTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Directories that come and go, and, in the build and reply directories,
// files written.
constexpr uint32_t MOVES = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF;

} // namespace

BuildWatch::BuildWatch(const QByteArray &path, bool withDatabase) : withDatabase(withDatabase)
{
    paths.append("/");
    for (const QByteArray &component : path.split('/')) {
        if (!component.isEmpty())
            paths.append((paths.size() == 1 ? QByteArray() : paths.last()) + '/' + component);
    }
    buildLevel = int(paths.size()) - 1;
    for (const QByteArray &component : QByteArray(REPLY_PATH).split('/'))
        paths.append(paths.last() + '/' + component);
    watches.assign(paths.size(), -1);
}

BuildWatch::~BuildWatch()
{
    for (const int fd : { inotifyFd, holdFd }) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool BuildWatch::start()
{
    inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0)
        return false;
    // A directory that stands but cannot be watched says why; one that does
    // not stand, ENOENT.
    errno = ENOENT;
    watchDirectories();
    return standing >= buildLevel;
}

bool BuildWatch::isHeldElsewhere()
{
    char resolved[PATH_MAX];
    const QByteArray directory = realpath(paths[buildLevel].constData(), resolved) ? QByteArray(resolved) : paths[buildLevel];
    const QByteArray name = "dorvane-watch-" + QCryptographicHash::hash(directory, QCryptographicHash::Sha256).toHex().left(40);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    holdFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return holdFd >= 0
            && bind(holdFd, reinterpret_cast<const sockaddr *>(&address),
                    socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size())) != 0
            && errno == EADDRINUSE;
}

// From the build directory's parent down, or from the nearest directory above
// it that stands, to the first that does not. Each is looked for once its
// parent is watched, so that none is made unseen in between.
void BuildWatch::watchDirectories()
{
    struct stat status;
    const auto stands = [&](int level) {
        return (level > buildLevel ? lstat : stat)(paths[level].constData(), &status) == 0 && S_ISDIR(status.st_mode);
    };
    int level = 0;
    while (level < int(paths.size()) && stands(level))
        ++level;
    const std::vector<int> previous = watches;
    watches.assign(paths.size(), -1);
    const int first = std::max(0, std::min(buildLevel - 1, level - 1));
    for (level = first; level < int(paths.size()) && (level == first || stands(level)); ++level) {
        const bool hasFiles = level == buildLevel || level == int(paths.size()) - 1;
        const uint32_t mask = MOVES | IN_ONLYDIR | (hasFiles ? IN_CLOSE_WRITE : 0) | (level > buildLevel ? IN_DONT_FOLLOW : 0);
        watches[level] = inotify_add_watch(inotifyFd, paths[level].constData(), mask);
        if (watches[level] < 0)
            break;
    }
    standing = level;
    const int error = errno;
    for (const int watch : previous) {
        if (watch >= 0 && std::find(watches.begin(), watches.end(), watch) == watches.end())
            inotify_rm_watch(inotifyFd, watch);
    }
    errno = error;
}

void BuildWatch::waitForCMake(const QHash<QByteArray, FileIdentity> &left)
{
    const int replyLevel = int(paths.size()) - 1;
    bool isWritten = false;
    QDeadlineTimer quiet;
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        pollfd poller = { inotifyFd, POLLIN, 0 };
        const int ready = poll(&poller, 1, isWritten ? int(quiet.remainingTime()) : -1);
        if (ready == 0 && isWritten)
            return;
        bool isMoved = false;
        for (ssize_t length; (length = read(inotifyFd, buffer, sizeof buffer)) > 0;) {
            for (const char *p = buffer; p < buffer + length;) {
                const auto *event = reinterpret_cast<const inotify_event *>(p);
                p += sizeof(inotify_event) + event->len;
                const QByteArray name = event->len ? QByteArray(event->name) : QByteArray();
                const auto watch = std::find(watches.begin(), watches.end(), event->wd);
                const int level = watch == watches.end() ? -1 : int(watch - watches.begin());
                isMoved = isMoved || (event->mask & IN_Q_OVERFLOW);
                if (level < 0)
                    continue;
                // A directory of the path that came, went or moved.
                isMoved = isMoved || (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))
                        || (level < replyLevel && (event->mask & MOVES) && paths[level + 1].endsWith('/' + name));
                const bool isDatabase = level == buildLevel && name == DATABASE_PATH && isDatabaseAlone();
                if (level != replyLevel && !isDatabase)
                    continue;
                quiet = QDeadlineTimer(SETTLE_MILLISECONDS);
                if ((event->mask & (IN_MOVED_TO | IN_CLOSE_WRITE)) && (isDatabase || isIndexName(name))
                    && !isOwn(paths[level], name, left))
                    isWritten = true;
            }
        }
        if (isMoved) {
            watchDirectories();
            if (hasCMakeWritten(left)) {
                isWritten = true;
                quiet = QDeadlineTimer(SETTLE_MILLISECONDS);
            }
        }
    }
}

// Where the queries stand, CMake writes the reply's index after the database,
// also long after it in a large project, or none where generating fails: the
// database alone is mapped only where it is all CMake writes.
bool BuildWatch::isDatabaseAlone() const
{
    struct stat status;
    return withDatabase && lstat((paths[buildLevel] + '/' + QUERY_PATH).constData(), &status) != 0;
}

bool BuildWatch::isOwn(const QByteArray &directory, const QByteArray &name,
                       const QHash<QByteArray, FileIdentity> &left) const
{
    // The database by the file its link leads to, as the run wrote it.
    struct stat status;
    const QByteArray path = directory + '/' + name;
    const auto found = left.constFind(name);
    return found != left.cend() && (name == DATABASE_PATH ? stat : lstat)(path.constData(), &status) == 0
            && identityOf(status) == *found;
}

bool BuildWatch::hasCMakeWritten(const QHash<QByteArray, FileIdentity> &left) const
{
    struct stat status;
    if (isDatabaseAlone() && hasBuildDirectory() && stat((paths[buildLevel] + '/' + DATABASE_PATH).constData(), &status) == 0
        && !isOwn(paths[buildLevel], DATABASE_PATH, left))
        return true;
    const FileDescriptor reply(standing == int(paths.size()) ? ::open(paths.last().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    bool isWritten = false;
    if (reply.isValid()) {
        forEachEntry(reply.get(), [&](int, const char *name, unsigned char) {
            isWritten = isIndexName(name) && !isOwn(paths.last(), name, left);
            return !isWritten;
        });
    }
    return isWritten;
}
