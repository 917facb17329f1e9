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
#include <QtCore/QSet>

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

// The two paths a file was mapped with.
struct MappingPaths
{
    QString sysroot;
    QString workspace;

    friend bool operator==(const MappingPaths &a, const MappingPaths &b)
    {
        return a.sysroot == b.sysroot && a.workspace == b.workspace;
    }
};

// An entry's paths are an index into the note's list of paths, or one of
// these: where the note's first format noted it, which did not say; and for
// an object as CMake wrote it, with nothing that any paths would map.
constexpr int UnknownPaths = -1;
constexpr int AnyPaths = -2;

// A reply object, named by the identity of the version this tool wrote or
// found already mapped. What CMake wrote is kept under the object's name,
// and told by the hash in that name.
struct ObjectEntry
{
    FileIdentity identity;
    int paths = UnknownPaths;
};

// A reply index, which is noted before it is written, by the SHA3-256 of its
// mapped content; and the identity of the copy kept of what CMake wrote,
// if one is.
struct IndexEntry
{
    QByteArray mappedHash;
    int paths = UnknownPaths;
    FileIdentity kept;
};

// The compilation database, which is noted before its new version is in
// place, by the identity that version has and the checksum of its content;
// and the identity of the copy kept of what CMake wrote, if one is.
struct DatabaseEntry
{
    quint64 checksum = 0;
    FileIdentity identity;
    int paths = UnknownPaths;
    FileIdentity kept;
    // While a version mapped with other paths is being replaced, that
    // version: a run that ends before the new one is in place leaves it.
    int replacedPaths = UnknownPaths;
    quint64 replacedChecksum = 0;
    FileIdentity replaced;
};

struct MappingNote
{
    // What cannot be read is left out. A note of the first format is read with
    // every entry's paths unknown.
    static MappingNote fromText(const QByteArray &text);
    // Empty for an empty note.
    QByteArray toText() const;

    // The index of paths in the list, which gains them if they are new.
    int pathsIndex(const MappingPaths &mappingPaths);

    QList<MappingPaths> paths;
    // The paths of runs that may have left objects mapped that the note does
    // not name, with nothing kept of what CMake wrote.
    QSet<int> unkeptPaths;
    // By the file's name in the reply directory.
    QMap<QByteArray, ObjectEntry> objects;
    QMap<QByteArray, IndexEntry> indexes;
    std::optional<DatabaseEntry> database;
};

#endif // MAPPINGNOTE_H
