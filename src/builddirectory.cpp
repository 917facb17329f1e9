// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Each path of the build directory resolved once beneath it, and what a
// run says of what it finds there.

#include "builddirectory.h"

#include "temporaryfiles.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr char LEADS_OUT[] = "the link leads out of the build directory";
constexpr char REPLY_LINK[] = "skipped: it is a link, and CMake writes none in its reply";

bool isOpenOn(int fd, const struct stat &status)
{
    struct stat open;
    return fd >= 0 && fstat(fd, &open) == 0 && isSameFile(open, status);
}

} // namespace

bool BuildDirectory::enter(const QByteArray &path, bool withDatabase)
{
    isEntered = root.openRoot(path.isEmpty() ? QByteArray(".") : path);
    const int error = errno;
    report.setDirectory(path, directoryFd());
    if (!isEntered) {
        errno = error;
        return false;
    }
    replyState = root.openDirectory(REPLY_PATH, reply);
    replyError = errno;
    fileApiState = root.openDirectory(FILE_API_PATH, fileApi);
    fileApiError = errno;
    if (withDatabase)
        findDatabase();
    return true;
}

bool BuildDirectory::replyExists() const
{
    return isEntered && replyState != Resolution::Missing && replyState != Resolution::NotDirectory;
}

bool BuildDirectory::queryExists() const
{
    struct stat status;
    return fileApi.isValid() && fstatat(fileApi.get(), QUERY_NAME, &status, AT_SYMLINK_NOFOLLOW) == 0;
}

bool BuildDirectory::hasCMakeCache() const
{
    FileStatus status;
    return isEntered && readFileStatus(root.rootFd(), "CMakeCache.txt", status);
}

// A link in the database's place is followed to its file only while it
// stays inside; that file's directory is where its new version is written.
void BuildDirectory::findDatabase()
{
    struct stat status;
    const Resolution found = root.locate(DATABASE_PATH, database, databaseFileName, status);
    if (found == Resolution::Outside)
        report.print(DATABASE_PATH, QByteArray("skipped: ") + LEADS_OUT);
    // One that cannot be followed names a database that fails the run; one
    // that loops, or names a file no name can, leads nowhere, as a broken
    // one does.
    if (found == Resolution::Failed && errno != ELOOP && errno != ENAMETOOLONG)
        databaseError = errno;
    hasDatabase = (found == Resolution::Found && S_ISREG(status.st_mode)) || databaseError;
    // A link to the database of a build directory within this one, as a
    // source root holds for clangd, is for runs in that build directory.
    struct stat rootStatus;
    struct stat cache;
    if (hasDatabase && fstat(root.rootFd(), &rootStatus) == 0 && !isOpenOn(database.get(), rootStatus)
        && fstatat(database.get(), "CMakeCache.txt", &cache, AT_SYMLINK_NOFOLLOW) == 0) {
        report.print(DATABASE_PATH, "skipped: the link leads to the database of another build directory");
        hasDatabase = false;
    }
    // A reply file, or the tool's own, is mapped by its own name or never.
    if (hasDatabase && isInFileApi(database.get())) {
        report.print(DATABASE_PATH, "skipped: the link leads into .cmake/api/v1");
        hasDatabase = false;
    }
}

// Whether a directory is the reply's, the file API's or the kept files'.
bool BuildDirectory::isInFileApi(int directory) const
{
    struct stat found;
    // Where the file API's directory leads back to the build directory,
    // that is still the build directory.
    if (fstat(directory, &found) != 0 || isOpenOn(root.rootFd(), found))
        return false;
    const FileDescriptor keptFiles(fileApi.isValid() ? openat(fileApi.get(), KEPT_DIRECTORY_NAME,
                                                              O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                                     : -1);
    return isOpenOn(reply.get(), found) || isOpenOn(fileApi.get(), found) || isOpenOn(keptFiles.get(), found);
}

bool BuildDirectory::openForRun()
{
    if (replyState == Resolution::Outside)
        return report.fail(REPLY_PATH, LEADS_OUT);
    if (replyState == Resolution::Failed)
        return report.fail(REPLY_PATH, "cannot open", replyError);
    if (fileApiState == Resolution::Outside)
        return report.fail(FILE_API_PATH, LEADS_OUT);
    if (fileApiState == Resolution::Failed)
        return report.fail(FILE_API_PATH, "cannot open", fileApiError);
    QList<DirectoryEntry> listed;
    if (replyState == Resolution::Found && !listFiles(reply.get(), listed))
        return report.fail(REPLY_PATH, "cannot read", errno);
    isReplyListed = !listed.isEmpty();
    // CMake writes no link in its reply: a link to a file inside would map
    // that file twice, and one can come and go between runs.
    for (const DirectoryEntry &entry : std::as_const(listed)) {
        if (entry.isSymLink)
            report.print(replyPath(entry.name), REPLY_LINK);
        else
            files.append(entry.name);
    }
    // A build directory that has a database but no reply may have no file
    // API directory yet: the note goes there.
    if (!fileApi.isValid() && hasDatabase) {
        fileApiState = root.openDirectory(FILE_API_PATH, fileApi, true);
        fileApiError = fileApiState == Resolution::NotDirectory ? ENOTDIR : errno;
    }
    if (fileApi.isValid())
        kept.openIn(fileApi.get(), !files.isEmpty() || hasDatabase);
    return true;
}

ReadResult BuildDirectory::readReplyFile(const QByteArray &name, QByteArray &content, FileStatus &status)
{
    const ReadResult result = readFile(reply.get(), name.constData(), content, status);
    if (result != ReadResult::Link)
        return result;
    report.print(replyPath(name), REPLY_LINK);
    return ReadResult::Skipped;
}

ReadResult BuildDirectory::openDatabase(FileReader &reader, FileStatus &status)
{
    if (databaseError) {
        report.fail(DATABASE_PATH, "cannot open", databaseError);
        return ReadResult::Failed;
    }
    const ReadResult opened = reader.openAt(database.get(), databaseFileName.constData(), status);
    if (opened == ReadResult::Failed)
        report.fail(DATABASE_PATH, "cannot read", errno);
    return opened;
}

std::optional<MappingNote> BuildDirectory::readNote(QByteArray &text)
{
    FileStatus status;
    // A note that is no regular file is none; one that cannot be read would
    // have the run take what it names for CMake's.
    const ReadResult read = fileApi.isValid() ? readFile(fileApi.get(), NOTE_NAME, text, status) : ReadResult::Skipped;
    if (read == ReadResult::Failed && errno != ENOENT) {
        report.fail(fileApiPath(NOTE_NAME), "cannot read", errno);
        return {};
    }
    if (read != ReadResult::Read)
        text.clear();
    std::optional<MappingNote> note = MappingNote::fromText(text);
    if (!note)
        report.fail(fileApiPath(NOTE_NAME), "a note in a format this tool cannot read: " + report.afresh(true));
    return note;
}

bool BuildDirectory::writeNote(const QByteArray &text)
{
    if (!fileApi.isValid())
        return report.fail(FILE_API_PATH, "cannot create", fileApiError);
    return writeOwnFile(fileApi.get(), NOTE_NAME, text)
            || report.fail(fileApiPath(NOTE_NAME), "cannot write", errno, fileApi.get());
}

void BuildDirectory::removeKilledRunsFiles()
{
    for (const int directory : { reply.get(), fileApi.get(), kept.keptDirectoryFd(), root.rootFd() }) {
        if (directory >= 0)
            TemporaryFiles::removeLeftovers(directory);
    }
}

bool BuildDirectory::removeQueries()
{
    QByteArray failedPath;
    FileDescriptor failedDirectory;
    return !queryExists() || removeTree(fileApi.get(), QUERY_NAME, failedPath, failedDirectory)
            || report.fail(fileApiPath(failedPath), "cannot remove", errno, failedDirectory.get());
}

