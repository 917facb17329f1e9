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
    // Neither the note nor a kept copy tells: see isToolOutput().
    Unrecorded,
    MappedWithThesePaths,
    // Or left by a run that ended too soon: mapped from what is kept, intact.
    MappedWithOtherPaths,
    // Mapped with other paths, with nothing intact kept: the run refuses.
    NotRecoverable,
};

struct PlannedFile
{
    QByteArray name;
    Provenance provenance = Provenance::Unrecorded;
    FileStatus status;
    // Of what is kept, where that is intact, or as the note gives it.
    Checksum keptChecksum;
    // An object as CMake wrote it that these paths leave as it is.
    bool isUnchanged = false;
    // What is kept fails its check.
    bool isKeptStale = false;
    // An index's entry, which the note keeps until the index is mapped.
    std::optional<IndexEntry> entry;

    bool isIndex() const { return isIndexName(name); }
    // What CMake wrote is kept where nothing intact is yet.
    bool isToKeep() const { return provenance != Provenance::MappedWithOtherPaths && !keptChecksum; }
};

struct PlannedDatabase
{
    Provenance provenance = Provenance::AsCMakeWrote;
    // Opened once: what is planned is what is mapped.
    FileReader reader;
    FileStatus status;
    // The note's entry, or, with the note gone, one that what is kept tells.
    std::optional<DatabaseEntry> entry;
};

struct Plan
{
    QList<PlannedFile> objects;
    QList<PlannedFile> indexes;
    std::optional<PlannedDatabase> database;
    // Where the reply is new, what is kept of the files CMake still names:
    // the rest goes.
    std::optional<QSet<QByteArray>> keptToLeave;
};

class Planner
{
public:
    Planner(const MappingNote &note, int paths, const PathRules &rules, BuildDirectory &directory, KeptStore &kept,
            RunReport &report);

    // False, said, where a file is not recoverable or the database cannot
    // be read. A reply file that cannot be read fails where it is mapped.
    bool plan(bool withDatabase, Plan &plan);

private:
    PlannedFile planObject(const QByteArray &name);
    PlannedFile planIndex(const QByteArray &name);
    bool planDatabase(PlannedDatabase &database);
    bool compareWithKept(PlannedFile &planned, const ObjectEntry *entry, const QByteArray &content,
                         const FileStatus &status);
    static bool mapText(const QByteArray &name, const QByteArray &text, const PathRules &with, QByteArray &out);
    bool isUnchangedHere(const ObjectEntry &entry) const;

    const MappingNote &note;
    const int paths;
    // A run with other paths may have left objects mapped, unnoted and unkept.
    const bool mayHaveUnkept;
    const PathRules &rules;
    BuildDirectory &directory;
    KeptStore &kept;
    RunReport &report;
};

#endif // PLANNER_H
