// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Replacing a file as a whole, so that it is always wholly old or wholly
// new and keeps its permission bits and, where the runner may give it, its
// owner; and keeping the version replaced, where asked.

#ifndef FILEREPLACEMENT_H
#define FILEREPLACEMENT_H

#include "fileio.h"

#include <QtCore/QByteArray>

// Where a replacement keeps the version it replaces: the new version is
// written there and swapped with the file by one exchange of names
// (renameat2 with RENAME_EXCHANGE), which leaves the old version there at
// no cost. isKept says whether it was.
struct KeptVersion
{
    int directory = -1;
    QByteArray name;
    bool isKept = false;
};

// A new version written to a temporary file and put in place by an exchange
// of names with the file it replaces, or for a file created, by a rename.
// Unless committed, the temporary file is removed, also when SIGHUP, SIGINT
// or SIGTERM ends the run.
class FileReplacement
{
    Q_DISABLE_COPY_MOVE(FileReplacement)

public:
    FileReplacement() = default;
    ~FileReplacement();

    // For the regular file name, with its status: its owner is kept where
    // allowed, and always with isOwnerRequired. False, with errno set, where
    // the file may not be written, not with the owner and mode asked for, or
    // no file can be made beside it.
    bool start(int directoryFd, const QByteArray &name, const FileStatus &status, bool isOwnerRequired = false,
                 KeptVersion *keep = nullptr);
    // For whatever stands at name, or nothing, with the owner and mode given.
    bool create(int directoryFd, const QByteArray &name, const FileStatus &status, bool isOwnerRequired = false,
                  KeptVersion *keep = nullptr);
    bool append(QByteArrayView data);
    // The first length bytes of another open file.
    bool appendFrom(int fd, qint64 length);
    // Which the new version keeps once in place: a rename keeps the mtime.
    bool readIdentity(FileIdentity &identity);
    // With expected, only over the version of that identity: where another
    // stands there by now, nothing changes and errno is ESTALE. A started
    // replacement fails with ENOENT where the file is gone by now, and
    // leaves it gone.
    bool commit(const FileIdentity *expected = nullptr);
    void abandon();

private:
    int directory = -1;
    QByteArray target;
    int temporaryDirectory = -1;
    QByteArray temporaryName;
    KeptVersion *keep = nullptr;
    // Started for a file that stands, which it only ever replaces.
    bool isReplacing = false;
    int fd = -1;
    int slot = -1;
};

// Keeping the file's status, and with keep, the version replaced where it
// can; never rewritten in place, so a file that cannot be replaced whole is
// not written. written, when given, is the new identity.
bool replaceFileContent(int directoryFd, const QByteArray &name, const FileStatus &status, const QByteArray &content,
                        FileIdentity *written = nullptr, KeptVersion *keep = nullptr);

// A small file of the tool's own, owned by the directory's owner where the
// runner may give it: a regular file there keeps its mode, and anything else
// but a directory gives way to a new file. A directory there fails.
bool writeOwnFile(int directoryFd, const QByteArray &name, const QByteArray &content);

#endif // FILEREPLACEMENT_H
