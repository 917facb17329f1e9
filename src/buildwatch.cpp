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

BuildWatch::~BuildWatch() = default;

bool BuildWatch::start()
{
    inotify = FileDescriptor(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify.isValid()) {
        const int error = errno;
        failure = paths[buildLevel] + ": cannot watch: " + std::strerror(error)
                + (error == EMFILE ? ": the limit of inotify instances, fs.inotify.max_user_instances, or of open "
                                     "files is reached: raise it, then watch again"
                                   : "");
        return false;
    }
    return watchDirectories();
}

bool BuildWatch::isHeldElsewhere()
{
    char resolved[PATH_MAX];
    const QByteArray directory = realpath(paths[buildLevel].constData(), resolved) ? QByteArray(resolved) : paths[buildLevel];
    const QByteArray name = "dorvane-watch-" + QCryptographicHash::hash(directory, QCryptographicHash::Sha256).toHex().left(40);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    hold = FileDescriptor(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return hold.isValid()
            && bind(hold.get(), reinterpret_cast<const sockaddr *>(&address),
                    socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size())) != 0
            && errno == EADDRINUSE;
}

// From the build directory's parent down, or from the nearest directory above
// it that stands, to the first that does not. Each is looked for once its
// parent is watched, so that none is made unseen in between. A directory
// that goes as it is watched is waited for; one that cannot be watched ends
// the watch, which would otherwise never see CMake write.
bool BuildWatch::watchDirectories()
{
    struct stat status;
    const auto stands = [&](int level) {
        return (level > buildLevel ? lstat : stat)(paths[level].constData(), &status) == 0 && S_ISDIR(status.st_mode);
    };
    const std::vector<int> previous = watches;
    int first = 0;
    int level = 0;
    bool isWatched = true;
    do {
        for (level = 0; level < int(paths.size()) && stands(level);)
            ++level;
        watches.assign(paths.size(), -1);
        first = std::max(0, std::min(buildLevel - 1, level - 1));
        for (level = first; level < int(paths.size()) && (level == first || stands(level)); ++level) {
            const bool hasFiles = level == buildLevel || level == int(paths.size()) - 1;
            const uint32_t mask = MOVES | IN_ONLYDIR | (hasFiles ? IN_CLOSE_WRITE : 0) | (level > buildLevel ? IN_DONT_FOLLOW : 0);
            watches[level] = inotify_add_watch(inotify.get(), paths[level].constData(), mask);
            if (watches[level] < 0) {
                const int error = errno;
                isWatched = error == ENOENT || error == ENOTDIR;
                if (!isWatched)
                    failure = paths[level] + ": cannot watch: " + std::strerror(error)
                            + (error == ENOSPC ? ": the limit of inotify watches, fs.inotify.max_user_watches, is "
                                                 "reached: raise it, then watch again"
                                               : "");
                break;
            }
        }
    } while (isWatched && watches[first] < 0);
    standing = level;
    for (const int watch : previous) {
        if (watch >= 0 && std::find(watches.begin(), watches.end(), watch) == watches.end())
            inotify_rm_watch(inotify.get(), watch);
    }
    return isWatched;
}

bool BuildWatch::waitForCMake(const QHash<QByteArray, FileIdentity> &left, bool isRunDue)
{
    const int replyLevel = int(paths.size()) - 1;
    bool isWritten = isRunDue;
    isCMakeSeen = false;
    QDeadlineTimer quiet(SETTLE_MILLISECONDS);
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        pollfd poller = { inotify.get(), POLLIN, 0 };
        const int ready = poll(&poller, 1, isWritten ? int(quiet.remainingTime()) : -1);
        if (ready == 0 && isWritten)
            return true;
        bool isMoved = false;
        for (ssize_t length; (length = read(inotify.get(), buffer, sizeof buffer)) > 0;) {
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
                const bool isDatabase = withDatabase && level == buildLevel && name == DATABASE_PATH;
                if (level != replyLevel && !isDatabase)
                    continue;
                isCMakeSeen = true;
                quiet = QDeadlineTimer(SETTLE_MILLISECONDS);
                if ((event->mask & (IN_MOVED_TO | IN_CLOSE_WRITE)) && (isDatabase || isIndexName(name))
                    && !isOwn(paths[level], name, left))
                    isWritten = true;
            }
        }
        if (isMoved) {
            if (!watchDirectories())
                return false;
            if (hasCMakeWritten(left)) {
                isWritten = true;
                quiet = QDeadlineTimer(SETTLE_MILLISECONDS);
            }
        }
    }
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
    if (withDatabase && standing > buildLevel && stat((paths[buildLevel] + '/' + DATABASE_PATH).constData(), &status) == 0
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
