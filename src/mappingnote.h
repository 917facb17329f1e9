// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The note a run leaves beside the reply: which reply files this tool has
// mapped, so that a later run does not map them again.

#ifndef MAPPINGNOTE_H
#define MAPPINGNOTE_H

#include "replyfiles.h"

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayList>
#include <QtCore/QMap>

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

// One line a file. A reply object is named by the identity of the version
// this tool wrote or found already mapped; a reply index, which can be noted
// before it is written, by the SHA3-256 of its mapped content. The file's
// name comes last on its line, so it may hold spaces. The compilation
// database, which can be noted before it is put in place, is named by both:
// the identity its new version has and the checksum of its content.
class MappingNote
{
public:
    // Lines that cannot be read are left out.
    static MappingNote fromText(const QByteArray &text);
    // Empty for an empty note.
    QByteArray toText() const;

    bool contains(const QByteArray &name) const { return entries.contains(name); }
    bool hasObject(const QByteArray &name, const FileIdentity &identity) const;
    void setObject(const QByteArray &name, const FileIdentity &identity);
    bool hasIndex(const QByteArray &name, const QByteArray &contentHash) const;
    void setIndex(const QByteArray &name, const QByteArray &contentHash);
    bool hasDatabase(const QByteArray &name, const FileIdentity &identity) const;
    // The checksum and size of the database as noted, if it is.
    bool findDatabase(const QByteArray &name, quint64 &checksum, qint64 &size) const;
    void setDatabase(const QByteArray &name, quint64 checksum, const FileIdentity &identity);

    // The entries that stand until a run finds otherwise: the index files'
    // among names, and the database's.
    MappingNote lastingEntries(const QByteArrayList &names) const;

private:
    // The name, and the rest of its line.
    QMap<QByteArray, QByteArray> entries;
};

#endif // MAPPINGNOTE_H
