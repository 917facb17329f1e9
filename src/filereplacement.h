// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Replacing a file as a whole, so that it is always either wholly old or
// wholly new and keeps its permission bits and, where the runner may give
// it, its owner; and keeping the version replaced, where asked.

#ifndef FILEREPLACEMENT_H
#define FILEREPLACEMENT_H

#include "fileidentity.h"

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayView>

// Where a replacement keeps the version it replaces. The new version is
// written there and swapped with the file by one exchange of names
// (renameat2 with RENAME_EXCHANGE), which leaves the old version there at no
// cost. Where the file system cannot exchange names, nothing is kept.
struct KeptVersion
{
    int directory = -1;
    QByteArray name;
    // Written under a temporary name, and given its own only once it holds
    // the version replaced: for a kept version that no check tells from a
    // new version that a killed run left under its name.
    bool isNamedOnceKept = false;
    // Set by the commit.
    bool isKept = false;
};

// A new version written piece by piece to a temporary file and put in
// place by a rename. Unless committed, the temporary file is removed, also
// when SIGHUP, SIGINT or SIGTERM ends the run. The directories' descriptors
// must stay open until the replacement is committed or gone.
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
        // The temporary file cannot be given the owner or mode asked for.
        OwnerNotKept,
    };

    FileReplacement() = default;
    ~FileReplacement();

    // For the regular file name in a directory, with its status: its owner
    // is kept where allowed, and always with isOwnerRequired.
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
    int slot = -1;
};

// Replaces the regular file name in a directory as a whole, keeping its
// status, and with keep, the version it replaces where it can. Where no
// temporary file can be made and nothing is to be kept, it is rewritten in
// place, and its old content put back if that fails. Sets written, when
// given, to the identity of the new version.
bool replaceFileContent(int directoryFd, const QByteArray &name, const FileStatus &status, const QByteArray &content,
                        FileIdentity *written = nullptr, KeptVersion *keep = nullptr);

// Writes a small file of the tool's own as a whole: a regular file keeps its
// status; a link there, or nothing, gives way to a new file with the
// permission bits the umask leaves. A directory there is a failure.
bool writeOwnFile(int directoryFd, const QByteArray &name, const QByteArray &content);

#endif // FILEREPLACEMENT_H
