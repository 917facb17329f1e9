// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The note a run leaves beside the reply: which reply files, and which
// compilation database, this tool has mapped, so that a later run does not
// map them again.

#ifndef MAPPINGNOTE_H
#define MAPPINGNOTE_H

#include "replyfiles.h"

#include <QtCore/QByteArray>
#include <QtCore/QMap>

#include <optional>

#include <xxhash.h>

// A 64-bit checksum (XXH64) of a byte stream fed in pieces of any size: fast
// enough to take of every byte a large file's mapping writes, where a
// cryptographic hash would cost more than the mapping itself.
class ContentChecksum
{
    Q_DISABLE_COPY_MOVE(ContentChecksum)

public:
    ContentChecksum();
    ~ContentChecksum();

    void add(QByteArrayView data);
    quint64 result() const;

private:
    XXH64_state_t *state;
};

// A reply object, named by the identity of the version this tool wrote or
// found already mapped.
struct ObjectEntry
{
    FileIdentity identity;
};

// A reply index, which is noted before it is written, by the SHA3-256 of its
// mapped content.
struct IndexEntry
{
    QByteArray mappedHash;
};

// The compilation database, which is noted before its new version is in
// place, by the identity that version has and the checksum of its content.
struct DatabaseEntry
{
    quint64 checksum = 0;
    FileIdentity identity;
};

struct MappingNote
{
    // What cannot be read is left out.
    static MappingNote fromText(const QByteArray &text);
    // Empty for an empty note.
    QByteArray toText() const;

    // By the file's name in the reply directory.
    QMap<QByteArray, ObjectEntry> objects;
    QMap<QByteArray, IndexEntry> indexes;
    std::optional<DatabaseEntry> database;
};

#endif // MAPPINGNOTE_H
