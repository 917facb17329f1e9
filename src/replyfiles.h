// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Reading, listing and safely replacing the files of a reply directory: a
// file is always either wholly old or wholly new, and keeps its links, owner
// and permission bits.

#ifndef REPLYFILES_H
#define REPLYFILES_H

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayView>
#include <QtCore/QList>

struct ReplyFile
{
    QByteArray name;
    bool isSymLink = false;
};

// Lists the reply files in a directory: regular files and links, hidden names
// left out, sorted by name ignoring case. A path that is no directory lists
// as empty; a directory that cannot be read is a failure.
bool listReplyFiles(const char *directory, QList<ReplyFile> &files);

// Tells one version of a file from another: a file that is written again,
// or replaced, gets another identity.
struct FileIdentity
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modified = 0; // nanoseconds since the epoch

    friend bool operator==(const FileIdentity &a, const FileIdentity &b)
    {
        return a.device == b.device && a.inode == b.inode && a.size == b.size && a.modified == b.modified;
    }
};

// What replacing a file keeps of it, and the version that was read.
struct FileStatus
{
    unsigned owner = 0;
    unsigned group = 0;
    unsigned mode = 0;
    FileIdentity identity;
};

// The identity of a regular file, through a link of the file it points to.
bool readFileIdentity(const QByteArray &path, FileIdentity &identity);

enum class ReadResult { Read, Skipped, Failed };

// Reads a regular file whole into content, which is reused from call to call.
// A link to anything but a regular file, or a file that has become something
// else since it was listed, is skipped and never read.
ReadResult readReplyFile(const QByteArray &path, bool isSymLink, QByteArray &content, FileStatus &status);

// Reads a regular file, whole or piece by piece.
class FileReader
{
    Q_DISABLE_COPY_MOVE(FileReader)

public:
    FileReader() = default;
    ~FileReader();

    // Opens the file as readReplyFile reads it, and takes its status.
    ReadResult open(const QByteArray &path, bool isSymLink, FileStatus &status);
    bool readAll(QByteArray &content);
    // Appends up to maxBytes to buffer: nothing at the end of the file.
    bool readMore(QByteArray &buffer, qsizetype maxBytes);

private:
    int fd = -1;
    qsizetype openedSize = 0;
};

// A new version of a file, written piece by piece to a temporary file beside
// it and put in its place by a rename, so that the file is always either
// wholly old or wholly new. Unless committed, the temporary file is removed.
class FileReplacement
{
    Q_DISABLE_COPY_MOVE(FileReplacement)

public:
    enum Result {
        Started,
        // The file cannot be written, or a link to it cannot be followed.
        Refused,
        NoTemporaryFile,
        // The temporary file cannot be given the file's owner or mode.
        StatusNotKept,
    };

    FileReplacement() = default;
    ~FileReplacement();

    // For the regular file at path (through a link, the file it points to),
    // keeping its status.
    Result start(const QByteArray &path, bool isSymLink, const FileStatus &status);
    // For a file at path that may not exist yet, with the owner and mode given.
    Result create(const QByteArray &path, const FileStatus &status);
    bool append(QByteArrayView data);
    // The identity of the new version, which it keeps once in place.
    bool readIdentity(FileIdentity &identity);
    bool commit();
    void abandon();
    // The file replaced: the one a link points to.
    const QByteArray &targetPath() const { return target; }

private:
    QByteArray target;
    QByteArray temporaryPath;
    int fd = -1;
};

// Replaces the content of a regular file (through a link, of the file it
// points to) as a whole, keeping its status. Sets written, when given, to the
// identity of the new version.
bool replaceFileContent(const QByteArray &path, bool isSymLink, const FileStatus &status, const QByteArray &content,
                        FileIdentity *written = nullptr);

// Writes a small file of the tool's own as a whole: a regular file is
// replaced keeping its status, a missing one is created with the permission
// bits the umask leaves. Anything else at the path is a failure.
bool writeOwnFile(const QByteArray &path, const QByteArray &content);

// Until the process ends, SIGHUP, SIGINT and SIGTERM remove the temporary
// file being written before they end it.
void removeTemporaryFileOnSignal();

// Removes the temporary files that runs ended by SIGKILL, or by any other
// signal that cannot be caught, left in a directory: regular files named as
// this tool names them, and nothing else. Only for a run that holds the
// build directory's lock, so that no other run is writing one.
void removeLeftoverTemporaryFiles(const char *directory);

#endif // REPLYFILES_H
