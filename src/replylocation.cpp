// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Where a run finds the build directory, the reply, the file API's directory
// and each reply file, and how it names them when it speaks of them.

#include "cmakeapimapper.h"

#include <QtCore/QFile>

#include <cerrno>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr char CMAKE_API_PATH[] = ".cmake/api/v1";
constexpr char CMAKE_API_REPLY_PATH[] = ".cmake/api/v1/reply";
constexpr char LEADS_OUT[] = "the link leads out of the build directory";

} // namespace

bool CmakeApiMapper::setBuildDirectory(const QByteArray &directory)
{
    buildDirectoryName = directory;
    buildDirectoryState = buildDirectory.open(buildDirectoryName) ? Resolution::Found : Resolution::Failed;
    return buildDirectoryState == Resolution::Found;
}

bool CmakeApiMapper::isReplyExist()
{
    if (!isReplyChecked) {
        isReplyChecked = true;
        replyState = openBuildDirectory() ? buildDirectory.openDirectory(CMAKE_API_REPLY_PATH, replyDirectory)
                                          : Resolution::Failed;
    }
    // A file in its place is no reply either.
    return replyState != Resolution::Missing && replyState != Resolution::NotDirectory;
}

bool CmakeApiMapper::checkReplyDirectory()
{
    if (replyState == Resolution::Outside)
        return fail(CMAKE_API_REPLY_PATH, LEADS_OUT);
    if (replyState == Resolution::Failed)
        return fail(CMAKE_API_REPLY_PATH, "cannot open", errno);
    return true;
}

bool CmakeApiMapper::isQueryExist()
{
    struct stat status;
    return openApiDirectory(false) && fstatat(apiDirectory.get(), "query", &status, AT_SYMLINK_NOFOLLOW) == 0;
}

// The directory of the note, of what is kept and of the queries. A build
// directory that has a database but no reply may not have it yet.
bool CmakeApiMapper::openApiDirectory(bool create)
{
    if (apiDirectory.isValid())
        return true;
    if (!openBuildDirectory())
        return false;
    const Resolution found = buildDirectory.openDirectory(CMAKE_API_PATH, apiDirectory, create);
    kept.setApiDirectory(apiDirectory.get());
    if (found == Resolution::Outside)
        return fail(CMAKE_API_PATH, LEADS_OUT);
    if (found == Resolution::Failed || (found == Resolution::NotDirectory && create))
        return fail(CMAKE_API_PATH, create ? "cannot create" : "cannot open", found == Resolution::Failed ? errno : ENOTDIR);
    return found == Resolution::Found;
}

// A file of the build directory as named from where the run started; the
// build directory itself for an empty one.
QByteArray CmakeApiMapper::displayPath(const QByteArray &file) const
{
    if (buildDirectoryName.isEmpty())
        return file.isEmpty() ? "." : file;
    if (file.isEmpty())
        return buildDirectoryName;
    return buildDirectoryName + (buildDirectoryName.endsWith('/') ? "" : "/") + file;
}

// The first failure ends the run, and is the one reported.
bool CmakeApiMapper::fail(const QByteArray &file, QByteArrayView reason, int error)
{
    if (failure.isEmpty()) {
        failure = displayPath(file) + ": " + reason.toByteArray();
        if (error)
            failure += QByteArray(": ") + std::strerror(error);
    }
    return false;
}

void CmakeApiMapper::warn(const QByteArray &file, const char *reason)
{
    std::cerr << "dorvane: " << displayPath(file).constData() << ": " << reason << std::endl;
}

QByteArray CmakeApiMapper::apiFilePath(const QByteArray &name)
{
    return QByteArray(CMAKE_API_PATH) + '/' + name;
}

QByteArray CmakeApiMapper::replyFilePath(const QByteArray &name)
{
    return QByteArray(CMAKE_API_REPLY_PATH) + '/' + name;
}

// A link in the reply directory is followed to its file only while it stays
// inside; that file's directory is where its new version is written. False
// for anything that is no reply file to map.
bool CmakeApiMapper::locate(const QByteArray &name, bool isSymLink, Location &location, bool isQuiet)
{
    location.directory = replyDirectory.get();
    location.name = name;
    if (!isSymLink)
        return true;
    const QByteArray filePath = replyFilePath(name);
    struct stat target;
    const Resolution found = buildDirectory.locate(filePath, location.linkDirectory, location.name, target);
    if (found == Resolution::Outside && !isQuiet)
        warn(filePath, "skipped: the link leads out of the build directory");
    // A broken link, or a link to a directory, is no reply file.
    location.directory = location.linkDirectory.get();
    return found == Resolution::Found && S_ISREG(target.st_mode);
}
