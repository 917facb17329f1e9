// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The run's own lines on standard error.

#include "runreport.h"

#include "buildpaths.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include <sys/stat.h>
#include <unistd.h>

QByteArray RunReport::displayPath(const QByteArray &file) const
{
    if (buildDirectoryName.isEmpty())
        return file.isEmpty() ? "." : file;
    if (file.isEmpty())
        return buildDirectoryName;
    return buildDirectoryName + (buildDirectoryName.endsWith('/') ? "" : "/") + file;
}

bool RunReport::fail(const QByteArray &file, QByteArrayView reason, int error, int directoryFd)
{
    const auto isOthers = [](int fd) {
        struct stat directory;
        return fd >= 0 && fstat(fd, &directory) == 0 && directory.st_uid != geteuid();
    };
    if (failure.isEmpty()) {
        isRaced = isRaced || (error == ENOENT && (file == DATABASE_PATH || file.startsWith(replyPath({}))));
        failure = displayPath(file) + ": " + reason.toByteArray();
        if (error)
            failure += QByteArray(": ") + std::strerror(error);
        // As when a container ran as root in a user's build directory. Root
        // is refused for other reasons than owners.
        if ((error == EACCES || error == EPERM) && geteuid() != 0
            && (isOthers(buildDirectoryFd) || isOthers(directoryFd)))
            failure += ", as another user owns the build directory or a directory in it: have the build "
                       "environment run as the build directory's user, for example with --user \"$(id -u):$(id -g)\"";
    }
    return false;
}

void RunReport::print(const QByteArray &file, QByteArrayView reason)
{
    const QByteArray line = displayPath(file) + ": " + reason.toByteArray();
    if (!warned.contains(line)) {
        warned.insert(line);
        tell(line);
    }
}

void RunReport::raced(const QByteArray &file, QByteArrayView reason)
{
    isRaced = true;
    if (!isWatched)
        print(file, reason);
}

void RunReport::tell(const QByteArray &line)
{
    std::cerr << ("dorvane: " + line + '\n').constData() << std::flush;
}

QByteArray RunReport::reconfigure() const
{
    return "write the queries in " + displayPath(QUERY_PATH) + " and configure again";
}

QByteArray RunReport::afresh(bool withNote) const
{
    return "remove " + displayPath(REPLY_PATH) + (withNote ? " and the note " + displayPath(fileApiPath(NOTE_NAME)) : QByteArray())
            + ", " + reconfigure();
}
