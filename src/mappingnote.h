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

// A 64-bit checksum (XXH64) of a byte stream fed in pieces of any size: fast
// enough to take of every byte a large file's mapping writes, where a
// cryptographic hash would cost more than the mapping itself.
class ContentChecksum
{
public:
    void add(QByteArrayView data);
    quint64 result() const;

private:
    void addStripe(const char *stripe);

    quint64 lanes[4] = { 0x60ea27eeadc0b5d6ULL, 0xc2b2ae3d27d4eb4fULL, 0, 0x61c8864e7a143579ULL };
    quint64 length = 0;
    char pending[32];
    qsizetype pendingSize = 0;
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
