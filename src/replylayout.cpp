// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Each path of the layout resolved once beneath the build directory, and
// what a run says of what it finds there.

#include "replylayout.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

bool ReplyLayout::open(const QByteArray &directory)
{
    isOpen = build.open(directory.isEmpty() ? QByteArray(".") : directory);
    buildDirectoryError = isOpen ? 0 : errno;
    report.setBuildDirectory(directory, isOpen ? build.fd() : -1);
    return isOpen;
}

bool ReplyLayout::replyExists()
{
    if (!isReplyResolved) {
        isReplyResolved = true;
        replyState = (isOpen || open({})) ? build.openDirectory(REPLY_PATH, reply) : Resolution::Failed;
    }
    // A file in its place is no reply either.
    return replyState != Resolution::Missing && replyState != Resolution::NotDirectory;
}

bool ReplyLayout::openFileApi()
{
    replyExists();
    if (replyState == Resolution::Outside)
        return report.fail(REPLY_PATH, LEADS_OUT);
    if (replyState == Resolution::Failed)
        return report.fail(REPLY_PATH, "cannot open", errno);
    return resolveFileApi(false, true);
}

bool ReplyLayout::listReply(QList<ReplyFile> &files)
{
    return replyState != Resolution::Found || listFiles(reply.get(), files)
            || report.fail(REPLY_PATH, "cannot read", errno);
}

QByteArray ReplyLayout::replyPath(const QByteArray &name)
{
    return QByteArray(REPLY_PATH) + '/' + name;
}

QByteArray ReplyLayout::fileApiPath(const QByteArray &name)
{
    return QByteArray(FILE_API_PATH) + '/' + name;
}

// A link is followed to its file only while it stays inside; that file's
// directory is where its new version is written. A link to another reply
// file, to the tool's own files or to the database is left alone: each is
// mapped, and kept, by its own name, or never.
bool ReplyLayout::locate(const ReplyFile &file, Location &location)
{
    location.directory = reply.get();
    location.name = file.name;
    if (!file.isSymLink)
        return true;
    struct stat target;
    const Resolution found = build.locate(replyPath(file.name), location.linkDirectory, location.name, target);
    if (found == Resolution::Outside)
        report.warn(replyPath(file.name), QByteArray("skipped: ") + LEADS_OUT);
    location.directory = location.linkDirectory.get();
    if (found != Resolution::Found || !S_ISREG(target.st_mode) || isFileApiDirectory(location.directory))
        return false;
    // The database's file, wherever its own link leads, as it stands before
    // anything is written.
    if (!databaseFile) {
        FileDescriptor directory;
        QByteArray name;
        struct stat status;
        databaseFile = build.locate(DATABASE_PATH, directory, name, status) == Resolution::Found
                ? std::pair { quint64(status.st_dev), quint64(status.st_ino) }
                : std::pair<quint64, quint64> {};
    }
    return *databaseFile != std::pair { quint64(target.st_dev), quint64(target.st_ino) };
}

bool ReplyLayout::isFileApiDirectory(int directory)
{
    struct stat found;
    struct stat root;
    // Where the file API's directory leads back to the build directory,
    // that is still the build directory.
    if (fstat(directory, &found) != 0 || fstat(build.fd(), &root) != 0
        || (found.st_dev == root.st_dev && found.st_ino == root.st_ino))
        return false;
    resolveFileApi(false, false);
    const FileDescriptor kept(fileApi.isValid() ? openat(fileApi.get(), KEPT_DIRECTORY_NAME,
                                                         O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                                : -1);
    for (const int fd : { reply.get(), fileApi.get(), kept.get() }) {
        struct stat status;
        if (fd >= 0 && fstat(fd, &status) == 0 && status.st_dev == found.st_dev && status.st_ino == found.st_ino)
            return true;
    }
    return false;
}

// The directory of the note, of what is kept and of the queries. A build
// directory that has a database but no reply may not have it yet.
int ReplyLayout::fileApiDirectory(bool create, bool isNeeded)
{
    resolveFileApi(create, isNeeded);
    return fileApi.get();
}

// False where the directory leads out, or cannot be opened, or made where asked.
bool ReplyLayout::resolveFileApi(bool create, bool isNeeded)
{
    if (fileApi.isValid() || !isOpen)
        return true;
    const Resolution found = build.openDirectory(FILE_API_PATH, fileApi, create);
    if (!isNeeded && found != Resolution::Found)
        return false;
    if (found == Resolution::Outside)
        return report.fail(FILE_API_PATH, LEADS_OUT);
    if (found == Resolution::Failed || (found == Resolution::NotDirectory && create))
        return report.fail(FILE_API_PATH, create ? "cannot create" : "cannot open",
                           found == Resolution::Failed ? errno : ENOTDIR);
    return true;
}

bool ReplyLayout::databaseExists()
{
    if (isDatabaseResolved || !(isOpen || open({})))
        return hasDatabase;
    isDatabaseResolved = true;
    struct stat status;
    const Resolution found = build.locate(DATABASE_PATH, database, databaseFileName, status);
    if (found == Resolution::Outside)
        report.warn(DATABASE_PATH, QByteArray("skipped: ") + LEADS_OUT);
    hasDatabase = found == Resolution::Found && S_ISREG(status.st_mode);
    // A link to the database of a build directory within this one, as a
    // source root holds for clangd, is for runs in that build directory.
    struct stat directory;
    struct stat root;
    if (hasDatabase && fstat(database.get(), &directory) == 0 && fstat(build.fd(), &root) == 0
        && (directory.st_dev != root.st_dev || directory.st_ino != root.st_ino)
        && fstatat(database.get(), "CMakeCache.txt", &status, AT_SYMLINK_NOFOLLOW) == 0) {
        report.warn(DATABASE_PATH, "skipped: the link leads to the database of another build directory");
        hasDatabase = false;
    }
    // A reply file, or the tool's own, is mapped by its own name or never.
    if (hasDatabase && isFileApiDirectory(database.get())) {
        report.warn(DATABASE_PATH, "skipped: the link leads into .cmake/api/v1");
        hasDatabase = false;
    }
    return hasDatabase;
}

bool ReplyLayout::queryExists()
{
    struct stat status;
    return fileApiDirectory() >= 0 && fstatat(fileApi.get(), "query", &status, AT_SYMLINK_NOFOLLOW) == 0;
}

bool ReplyLayout::removeQueries()
{
    QByteArray failedPath;
    FileDescriptor failedDirectory;
    return !queryExists() || removeTree(fileApi.get(), "query", failedPath, failedDirectory)
            || report.fail(fileApiPath(failedPath), "cannot remove", errno, failedDirectory.get());
}

QByteArray ReplyLayout::reconfigure() const
{
    return "write the queries in " + report.displayPath(QUERY_PATH) + " and configure again";
}

QByteArray ReplyLayout::afresh(bool withNote) const
{
    return "remove " + report.displayPath(REPLY_PATH)
            + (withNote ? " and the note " + report.displayPath(fileApiPath(NOTE_NAME)) : QByteArray()) + ", "
            + reconfigure();
}
