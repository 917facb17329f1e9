// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The compilation database's streaming map: read, mapped and written piece
// by piece, so that a database of hundreds of MB takes no more memory than
// a small one.

#ifndef DATABASEMAP_H
#define DATABASEMAP_H

#include "filereplacement.h"
#include "fileio.h"
#include "pathrules.h"

#include <QtCore/QByteArray>

// Where a mapped version is written, and what it replaces kept, if anywhere.
struct DatabaseTarget
{
    int directory = -1;
    QByteArray name;
    FileStatus status;
    KeptVersion *keep = nullptr;
    // Where the source is what is kept: the database as it stands.
    int standing = -1;
};

struct DatabaseMapping
{
    enum Result {
        Done,
        NotUtf8,
        // errno says why.
        ReadFailed,
        // errno says why.
        StartFailed,
        WriteFailed,
    };

    // Of the mapped content, and of the source as it was read.
    quint64 checksum = 0;
    quint64 sourceChecksum = 0;
    qint64 size = 0;
    // The mapped content differs from what stands.
    bool isChanged = false;
};

// Maps what is left to read of source, and with a target writes it there:
// from the first piece that differs from what stands, the bytes before it
// copied. The replacement is left to commit.
DatabaseMapping::Result mapDatabase(const PathRules &rules, FileReader &source, const DatabaseTarget *target,
                                    FileReplacement &replacement, DatabaseMapping &mapping);

#endif // DATABASEMAP_H
