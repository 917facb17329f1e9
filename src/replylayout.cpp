// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Each path of the layout resolved once beneath the build directory, and
// what a run says of what it finds there.

#include "replylayout.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

bool isSameFile(int fd, const struct stat &b)
{
    struct stat a;
    return fd >= 0 && fstat(fd, &a) == 0 && isSameFile(a, b);
}

// Whether a link that did not resolve names a file the runner cannot reach.
// One that loops, or names a file no name can, leads nowhere, as a broken
// one does.
bool cannotBeFollowed(Resolution found)
{
    return found == Resolution::Failed && errno != ELOOP && errno != ENAMETOOLONG;
}

} // namespace

bool ReplyLayout::open(const QByteArray &directory)
{
    isOpen = build.open(directory.isEmpty() ? QByteArray(".") : directory);
    buildDirectoryError = isOpen ? 0 : errno;
    report.setBuildDirectory(directory, isOpen ? build.fd() : -1);
    return isOpen;
}

bool ReplyLayout::replyExists()
{
    if (!replyState)
        replyState = (isOpen || open({})) ? build.openDirectory(REPLY_PATH, reply) : Resolution::Failed;
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
ReadResult ReplyLayout::locate(const ReplyFile &file, Location &location)
{
    location.directory = reply.get();
    location.name = file.name;
    if (!file.isSymLink)
        return ReadResult::Read;
    struct stat target;
    const Resolution found = build.locate(replyPath(file.name), location.linkDirectory, location.name, target);
    if (found == Resolution::Outside)
        report.warn(replyPath(file.name), QByteArray("skipped: ") + LEADS_OUT);
    if (cannotBeFollowed(found)) {
        report.fail(replyPath(file.name), "cannot open", errno);
        return ReadResult::Failed;
    }
    location.directory = location.linkDirectory.get();
    // The database's file, wherever its own link leads, as it stood before
    // anything was written.
    return found == Resolution::Found && S_ISREG(target.st_mode) && !isFileApiDirectory(location.directory)
                    && !(locateDatabase() == Resolution::Found && isSameFile(target, databaseStatus))
            ? ReadResult::Read
            : ReadResult::Skipped;
}

QByteArray ReplyLayout::targetKey(const Location &location)
{
    struct stat directory;
    if (fstat(location.directory, &directory) != 0)
        return {};
    return QByteArray::number(quint64(directory.st_dev)) + ':' + QByteArray::number(quint64(directory.st_ino)) + '/'
            + location.name;
}

bool ReplyLayout::isFileApiDirectory(int directory)
{
    struct stat found;
    // Where the file API's directory leads back to the build directory,
    // that is still the build directory.
    if (fstat(directory, &found) != 0 || isSameFile(build.fd(), found))
        return false;
    resolveFileApi(false, false);
    const FileDescriptor kept(fileApi.isValid() ? openat(fileApi.get(), KEPT_DIRECTORY_NAME,
                                                         O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                                : -1);
    return isSameFile(reply.get(), found) || isSameFile(fileApi.get(), found) || isSameFile(kept.get(), found);
}

Resolution ReplyLayout::locateDatabase()
{
    if (!databaseResolution)
        databaseResolution = build.locate(DATABASE_PATH, database, databaseFileName, databaseStatus);
    return *databaseResolution;
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
    const Resolution found = locateDatabase();
    if (found == Resolution::Outside)
        report.warn(DATABASE_PATH, QByteArray("skipped: ") + LEADS_OUT);
    // One that cannot be followed names a database that fails the run.
    if (cannotBeFollowed(found))
        databaseError = errno;
    hasDatabase = (found == Resolution::Found && S_ISREG(databaseStatus.st_mode)) || databaseError;
    // A link to the database of a build directory within this one, as a
    // source root holds for clangd, is for runs in that build directory.
    struct stat root;
    struct stat cache;
    if (hasDatabase && fstat(build.fd(), &root) == 0 && !isSameFile(database.get(), root)
        && fstatat(database.get(), "CMakeCache.txt", &cache, AT_SYMLINK_NOFOLLOW) == 0) {
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

ReadResult ReplyLayout::openDatabase(FileReader &reader, FileStatus &status)
{
    if (databaseError) {
        report.fail(DATABASE_PATH, "cannot open", databaseError);
        return ReadResult::Failed;
    }
    const ReadResult opened = reader.open(database.get(), databaseFileName.constData(), status);
    if (opened == ReadResult::Failed)
        report.fail(DATABASE_PATH, "cannot read", errno);
    return opened;
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
