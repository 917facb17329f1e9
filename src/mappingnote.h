// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The note a run leaves beside the reply, in its text format: which reply
// files, and which compilation database, this tool has mapped and with
// which paths, and what it keeps of what CMake wrote.

#ifndef MAPPINGNOTE_H
#define MAPPINGNOTE_H

#include "contenthash.h"
#include "fileio.h"
#include "pathrules.h"

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QMap>
#include <QtCore/QSet>

#include <optional>

// An entry's paths are an index into the note's list of paths.
constexpr int NoPaths = -1;

// A reply object, named by the identity of the version this tool wrote or
// found mapped, so that a later run need not read it.
struct ObjectEntry
{
    FileIdentity identity;
    int paths = NoPaths;
    // The object is as CMake wrote it: nothing in it changes with paths that
    // have the same CONTAINERs.
    bool isAsCMakeWrote = false;
    // What is kept of the version CMake wrote.
    Checksum kept;
};

// A reply index, noted before it is written, by the checksum of its mapped content.
struct IndexEntry
{
    Checksum mapped;
    int paths = NoPaths;
    Checksum kept;
};

// A version of the compilation database this tool wrote, by its identity
// and the checksum of its content, and the paths it was mapped with.
struct DatabaseVersion
{
    quint64 checksum = 0;
    FileIdentity identity;
    int paths = NoPaths;
};

// The database, noted before its new version is in place.
struct DatabaseEntry
{
    DatabaseVersion version;
    Checksum kept;
    // While a version mapped with other paths is being replaced, that
    // version: a run that ends before the new one is in place leaves it.
    std::optional<DatabaseVersion> replaced;
};

struct MappingNote
{
    // No value for text in any other format than this tool's. An empty
    // text is an empty note. What cannot be read is left out.
    static std::optional<MappingNote> fromText(const QByteArray &text);
    // Empty for an empty note.
    QByteArray toText() const;

    // The index of paths in the list, which gains them if they are new.
    int pathsIndex(const MappingPaths &mappingPaths);
    bool isEmpty() const { return objects.isEmpty() && indexes.isEmpty() && !database && unkeptPaths.isEmpty(); }

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
