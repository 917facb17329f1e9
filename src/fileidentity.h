// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// What tells one version of a file from another, and what replacing a file
// keeps of it: plain values.

#ifndef FILEIDENTITY_H
#define FILEIDENTITY_H

#include <QtCore/QtGlobal>

// A file written again, or replaced, gets another identity.
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

struct FileStatus
{
    unsigned owner = 0;
    unsigned group = 0;
    unsigned mode = 0;
    FileIdentity identity;
};

#endif // FILEIDENTITY_H
