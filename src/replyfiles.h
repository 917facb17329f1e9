// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Reading, listing and safely replacing the files of a reply directory: a
// file is always either wholly old or wholly new, and keeps its links, owner
// and permission bits. Every file is named by an open directory and a name
// in it, and no call follows a link.

#ifndef REPLYFILES_H
#define REPLYFILES_H

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayView>
#include <QtCore/QList>

#include <dirent.h>

struct stat;

struct ReplyFile
{
    QByteArray name;
    bool isSymLink = false;
};

// A listing of an open directory from its start, on a descriptor of its
// own; closedir() ends it. Null, with errno set, where it cannot be read.
DIR *openListing(int directoryFd);

// Lists the reply files in an open directory: regular files and links,
// hidden names left out, sorted by name ignoring case. A directory that
// cannot be read is a failure, with errno set.
bool listReplyFiles(int directoryFd, QList<ReplyFile> &files);

// Tells one version of a file from another: a file that is written again,
// or replaced, gets another identity.
struct FileIdentity
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modified = 0; // nanoseconds since the epoch

    bool isValid() const { return size >= 0; }
    friend bool operator==(const FileIdentity &a, const FileIdentity &b)
    {
        return a.device == b.device && a.inode == b.inode && a.size == b.size && a.modified == b.modified;
    }
    friend bool operator!=(const FileIdentity &a, const FileIdentity &b) { return !(a == b); }
};

// What replacing a file keeps of it, and the version that was read.
struct FileStatus
{
    unsigned owner = 0;
    unsigned group = 0;
    unsigned mode = 0;
    FileIdentity identity;
};

FileStatus statusOf(const struct stat &status);

// The status of the regular file name in a directory; false for anything
// else, a link included.
bool readFileStatus(int directoryFd, const char *name, FileStatus &status);

enum class ReadResult {
    Read,
    // Not a regular file: never read.
    Skipped,
    // A link stands at the name: the caller decides where it leads.
    Link,
    // errno says why.
    Failed,
};

// Reads a regular file, whole or piece by piece.
class FileReader
{
    Q_DISABLE_COPY_MOVE(FileReader)

public:
    FileReader() = default;
    ~FileReader();

    // Opens name in a directory, never through a link, and takes its
    // status. A FIFO, socket or device there is never read: opening a FIFO
    // does not wait for a writer.
    ReadResult open(int directoryFd, const char *name, FileStatus &status);
    bool readAll(QByteArray &content);
    // Appends up to maxBytes to buffer: nothing at the end of the file.
    bool readMore(QByteArray &buffer, qsizetype maxBytes);
    int fd() const { return descriptor; }

private:
    int descriptor = -1;
    qsizetype openedSize = 0;
};

// Reads the regular file name in a directory whole into content, which is
// reused from call to call.
ReadResult readReplyFile(int directoryFd, const char *name, QByteArray &content, FileStatus &status);

// Where a replacement keeps the version it replaces. The new version is
// written there, under that name, and swapped with the file by one exchange
// of names (renameat2 with RENAME_EXCHANGE), which leaves the old version
// there at no cost. isKept says whether it did: where the file system cannot
// exchange names, the new version is moved into place, and the old one goes.
struct KeptVersion
{
    int directory = -1;
    QByteArray name;
    bool isKept = false;
    // Written under a temporary name, and given its own only once it holds
    // the version it replaced: for a file whose kept version no hash checks,
    // so that a run killed before the exchange leaves nothing under it.
    bool isNamedOnceKept = false;
};

// A new version of a file, written piece by piece to a temporary file beside
// it (or where it keeps the version it replaces) and put in its place by a
// rename, so that the file is always either wholly old or wholly new. Unless
// committed, the temporary file is removed, also when SIGHUP, SIGINT or
// SIGTERM ends the run. The directories' descriptors must stay open until
// the replacement is committed or gone.
class FileReplacement
{
    Q_DISABLE_COPY_MOVE(FileReplacement)

public:
    enum Result {
        Started,
        // The file may not be written.
        Refused,
        // No file can be made beside it; errno says why.
        NoTemporaryFile,
        // The temporary file cannot be given the file's owner.
        OwnerNotKept,
    };

    FileReplacement() = default;
    ~FileReplacement();

    // For the regular file name in a directory, keeping its permission bits
    // and, where allowed, its owner; with isOwnerRequired, its owner always.
    // With keep, the version replaced is kept there where it can be.
    Result start(int directoryFd, const QByteArray &name, const FileStatus &status, bool isOwnerRequired = false,
                 KeptVersion *keep = nullptr);
    // For whatever stands at name, or nothing, with the owner and mode given.
    Result create(int directoryFd, const QByteArray &name, const FileStatus &status, bool isOwnerRequired = false,
                  KeptVersion *keep = nullptr);
    bool append(QByteArrayView data);
    // Appends the first length bytes of another open file.
    bool appendFrom(int fd, qint64 length);
    // The identity of the new version, which it keeps once in place.
    bool readIdentity(FileIdentity &identity);
    bool commit();
    void abandon();

private:
    int directory = -1;
    QByteArray target;
    int temporaryDirectory = -1;
    QByteArray temporaryName;
    KeptVersion *keep = nullptr;
    int fd = -1;
    int pendingSlot = -1;
};

// Replaces the content of the regular file name in a directory as a whole,
// keeping its status, and with keep, the version it replaces where it can.
// Where no temporary file can be made, the file is rewritten in place, and
// its old content put back if that fails. Sets written, when given, to the
// identity of the new version.
bool replaceFileContent(int directoryFd, const QByteArray &name, const FileStatus &status, const QByteArray &content,
                        FileIdentity *written = nullptr, KeptVersion *keep = nullptr);

// Writes a small file of the tool's own as a whole: a regular file keeps its
// status; a link there, or nothing, gives way to a new file with the
// permission bits the umask leaves. A directory there is a failure.
bool writeOwnFile(int directoryFd, const QByteArray &name, const QByteArray &content);

// Until the process ends, SIGHUP, SIGINT and SIGTERM remove every temporary
// file still being written before they end it.
void removeTemporaryFilesOnSignal();

// Removes the temporary files that runs ended by SIGKILL, or by any other
// signal that cannot be caught, left in a directory: regular files named as
// this tool names them, and nothing else. Only for a run that holds the
// build directory's lock, so that no other run is writing one.
void removeLeftoverTemporaryFiles(int directoryFd);

#endif // REPLYFILES_H
