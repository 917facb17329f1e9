// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The planner: before a run writes anything, what each reply file and the
// compilation database is, and so what it needs.

#ifndef PLANNER_H
#define PLANNER_H

#include "builddirectory.h"
#include "mappingnote.h"
#include "pathrules.h"

#include <QtCore/QList>
#include <QtCore/QSet>

#include <optional>

enum class Provenance {
    // As CMake wrote it: mapped from the file itself, and kept.
    AsCMakeWrote,
    // Neither the note nor a kept copy tells: as CMake wrote it, unless the
    // text, read to be mapped, is the tool's output (isToolOutput()).
    Unrecorded,
    MappedWithThesePaths,
    // Mapped with other paths, or left by a run that ended before it put
    // its own version in place: mapped again from what is kept, intact.
    MappedWithOtherPaths,
    // Mapped with other paths, with nothing intact kept: the run refuses.
    NotRecoverable,
};

struct PlannedFile
{
    QByteArray name;
    Provenance provenance = Provenance::Unrecorded;
    FileStatus status;
    // The checksum of what is kept of the version CMake wrote, where that is
    // intact; for a file mapped with these paths, as the note gives it.
    Checksum keptChecksum;
    // An object as CMake wrote it that these paths leave as it is.
    bool isUnchanged = false;
    // A kept copy that fails its check, of no use to anyone.
    bool isKeptStale = false;
    // An index's entry as it stands, which the note keeps until the index
    // is mapped.
    std::optional<IndexEntry> entry;

    // An index file, named by the time CMake wrote it; and a file named by
    // the hash of its content, as CMake names its objects.
    bool isIndex() const { return isIndexName(name); }
    bool isNamed() const { return !hashInName(name).isEmpty(); }
    // Whether what CMake wrote is kept when the file is replaced: where
    // nothing intact is kept of it yet, and a later run can tell it.
    bool isToKeep() const
    {
        return provenance != Provenance::MappedWithOtherPaths && !keptChecksum && (isIndex() || isNamed());
    }
};

struct PlannedDatabase
{
    Provenance provenance = Provenance::AsCMakeWrote;
    FileStatus status;
    // The entry that names it: the note's, or, with the note gone, one
    // that what is kept of it tells.
    std::optional<DatabaseEntry> entry;
};

struct Plan
{
    QList<PlannedFile> objects;
    QList<PlannedFile> indexes;
    std::optional<PlannedDatabase> database;
    // What is kept of the files CMake still names: the rest goes.
    QSet<QByteArray> keptToLeave;
};

class Planner
{
public:
    // For the paths of the note's list given.
    Planner(const MappingNote &note, int paths, const PathRules &rules, BuildDirectory &directory, RunReport &report);

    // Plans every reply file, and the database where it was asked for and
    // found: false, with the reason reported, where one is not recoverable,
    // or the database cannot be read. A reply file that cannot be read is
    // planned as it stands, and fails where it is mapped.
    bool plan(bool withDatabase, Plan &plan);

private:
    PlannedFile planObject(const QByteArray &name);
    PlannedFile planIndex(const QByteArray &name);
    bool planDatabase(PlannedDatabase &database);
    bool compareWithKept(PlannedFile &planned, const ObjectEntry *entry);
    bool mapsTo(const QByteArray &name, const QByteArray &original, const QByteArray &content) const;
    bool isUnchangedHere(const ObjectEntry &entry) const;

    const MappingNote &note;
    const int paths;
    // Whether a run with other paths may have left objects mapped that the
    // note does not name, with nothing kept.
    const bool mayHaveUnkept;
    const PathRules &rules;
    BuildDirectory &directory;
    RunReport &report;
};

#endif // PLANNER_H
