// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Each path of the build directory resolved once beneath it, what a run
// says of what it finds there, and the kept files' directory.

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
    return fileApi.isValid() && fstatat(fileApi.get(), "query", &status, AT_SYMLINK_NOFOLLOW) == 0;
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
        openKeptDirectory(!files.isEmpty() || hasDatabase);
    return true;
}

void BuildDirectory::openKeptDirectory(bool create)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(fileApi.get(), KEPT_DIRECTORY_NAME, flags);
    // Where it can be neither opened nor made, files are written as they
    // are otherwise, and that says why a run fails.
    if (fd < 0 && errno != ENOENT)
        keptError = errno;
    else if (fd < 0 && create && makeDirectory(fileApi.get(), KEPT_DIRECTORY_NAME))
        fd = openat(fileApi.get(), KEPT_DIRECTORY_NAME, flags);
    kept = FileDescriptor(fd);
    struct stat status;
    DIR *const entries = kept.isValid() && fstat(fd, &status) == 0 ? openListing(fd) : nullptr;
    if (!entries)
        return;
    keptDevice = status.st_dev;
    while (const dirent *entry = readdir(entries)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            keptNames.insert(name);
    }
    closedir(entries);
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

ReadResult BuildDirectory::readKept(const QByteArray &keptName, QByteArray &content, FileStatus &status)
{
    return kept.isValid() ? readFile(kept.get(), keptName.constData(), content, status) : ReadResult::Skipped;
}

ReadResult BuildDirectory::openKept(const QByteArray &keptName, FileReader &reader, FileStatus &status)
{
    return kept.isValid() ? reader.openAt(kept.get(), keptName.constData(), status) : ReadResult::Skipped;
}

Checksum BuildDirectory::intactKeptChecksum(const QByteArray &keptName, const Checksum &expected)
{
    FileStatus status;
    if (!isKept(keptName))
        return {};
    if (expected) {
        FileReader reader;
        return openKept(keptName, reader, status) == ReadResult::Read && checksumOfRest(reader) == expected
                ? expected
                : Checksum();
    }
    QByteArray content;
    return readKept(keptName, content, status) == ReadResult::Read && isAsNamed(keptName, content)
            ? Checksum(checksumOf(content))
            : Checksum();
}

bool BuildDirectory::keptVersionFor(const QByteArray &keptName, quint64 device, KeptVersion &version) const
{
    // Names are exchanged only within one file system.
    if (!kept.isValid() || device != keptDevice)
        return false;
    version = { kept.get(), keptName, false };
    return true;
}

bool BuildDirectory::storeKept(const QByteArray &keptName, const QByteArray &content)
{
    // Removed first, so that the copy is made anew and renamed into place.
    // Only where the name stays, in a kept directory the runner cannot
    // write in, is a copy there rewritten in place, which beats leaving it
    // stale.
    removeKept(keptName);
    if (!kept.isValid() || !writeOwnFile(kept.get(), keptName, content))
        return false;
    keptNames.insert(keptName);
    return true;
}

void BuildDirectory::addKept(const KeptVersion &version)
{
    if (version.isKept)
        keptNames.insert(version.name);
}

void BuildDirectory::removeKept(const QByteArray &keptName)
{
    if (kept.isValid())
        unlinkat(kept.get(), keptName.constData(), 0);
    keptNames.remove(keptName);
}

void BuildDirectory::removeKeptBut(const QSet<QByteArray> &names)
{
    const QSet<QByteArray> listed = keptNames;
    for (const QByteArray &name : listed) {
        if (!names.contains(name))
            removeKept(name);
    }
}

bool BuildDirectory::refuse(const QByteArray &keptName, const QByteArray &path, const QByteArray &advice)
{
    const QByteArray keptPath = fileApiPath(KEPT_DIRECTORY_NAME);
    if (keptError)
        return report.fail(keptPath, "cannot open", keptError);
    FileReader reader;
    FileStatus status;
    if (isKept(keptName) && openKept(keptName, reader, status) == ReadResult::Failed && errno != ENOENT)
        return report.fail(keptPath + '/' + keptName, "cannot read", errno);
    return report.fail(path, NOT_KEPT_REASON + advice);
}

bool BuildDirectory::readNote(QByteArray &text)
{
    FileStatus status;
    // A note that is no regular file is none; one that cannot be read would
    // have the run take what it names for CMake's.
    const ReadResult read = fileApi.isValid() ? readFile(fileApi.get(), NOTE_NAME, text, status) : ReadResult::Skipped;
    if (read == ReadResult::Failed && errno != ENOENT)
        return report.fail(fileApiPath(NOTE_NAME), "cannot read", errno);
    if (read != ReadResult::Read)
        text.clear();
    return true;
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
    for (const FileDescriptor *directory : { &reply, &fileApi, &kept }) {
        if (directory->isValid())
            TemporaryFiles::removeLeftovers(directory->get());
    }
    TemporaryFiles::removeLeftovers(root.rootFd());
}

bool BuildDirectory::removeQueries()
{
    QByteArray failedPath;
    FileDescriptor failedDirectory;
    return !queryExists() || removeTree(fileApi.get(), "query", failedPath, failedDirectory)
            || report.fail(fileApiPath(failedPath), "cannot remove", errno, failedDirectory.get());
}

QByteArray BuildDirectory::reconfigure() const
{
    return "write the queries in " + report.displayPath(QUERY_PATH) + " and configure again";
}

QByteArray BuildDirectory::afresh(bool withNote) const
{
    return "remove " + report.displayPath(REPLY_PATH)
            + (withNote ? " and the note " + report.displayPath(fileApiPath(NOTE_NAME)) : QByteArray()) + ", "
            + reconfigure();
}

QByteArray BuildDirectory::replyPath(const QByteArray &name)
{
    return QByteArray(REPLY_PATH) + '/' + name;
}

QByteArray BuildDirectory::fileApiPath(const QByteArray &name)
{
    return QByteArray(FILE_API_PATH) + '/' + name;
}
