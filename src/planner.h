// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The planner: before a run writes anything, what each reply file and the
// compilation database is, and so what it needs.

#ifndef PLANNER_H
#define PLANNER_H

#include "keptoriginals.h"
#include "mappingnote.h"
#include "pathrules.h"
#include "replylayout.h"
#include "runreport.h"

#include <QtCore/QList>
#include <QtCore/QSet>

#include <optional>

enum class Provenance {
    // As CMake wrote it: mapped from the file itself, and kept.
    AsCMakeWrote,
    // Neither the note nor a kept copy tells: as CMake wrote it, unless the
    // text, read to be mapped, may be the tool's output and is not what the
    // hash in its name says: then it is taken for these paths' output.
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
    ReplyFile file;
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
    bool isIndex() const { return isIndexName(file.name); }
    bool isNamed() const { return !hashInName(file.name).isEmpty(); }
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
    // Where CMake wrote the reply anew since the last run, it dropped the
    // files it no longer names: what is kept goes, but for these names.
    std::optional<QSet<QByteArray>> keptToLeave;
};

class Planner
{
public:
    // The note is the last run's: what a note of the second format says is
    // taken over into it as the third format says it.
    Planner(MappingNote &note, const PathRules &rules, ReplyLayout &layout, KeptOriginals &kept, RunReport &report)
        : note(note), rules(rules), layout(layout), kept(kept), report(report)
    {
    }

    // Plans every reply file, and the database where asked, for the paths
    // of the note's list given: false, with the reason reported, where one
    // is not recoverable, a link to one cannot be followed, or the database
    // cannot be read. A reply file that cannot be read is planned as it
    // stands, and fails where it is mapped.
    bool plan(const QList<ReplyFile> &files, int paths, bool withDatabase, Plan &plan);

    // For a file planned as unrecorded, once it is read: its text as the
    // rules read it, the bytes dropped from it, and what mapping it showed.
    static Provenance provenanceOfText(const QByteArray &name, const QByteArray &text, unsigned dropped,
                                       RewriteCheck check);

private:
    PlannedFile planObject(const ReplyFile &file, const Location &location);
    PlannedFile planIndex(const ReplyFile &file, const Location &location);
    bool planDatabase(PlannedDatabase &database);
    bool compareWithKept(const Location &location, PlannedFile &planned, const ObjectEntry *entry);
    bool mapsTo(const QByteArray &name, const QByteArray &original, const QByteArray &content) const;
    bool isUnchangedHere(const ObjectEntry &entry) const;

    MappingNote &note;
    const PathRules &rules;
    ReplyLayout &layout;
    KeptOriginals &kept;
    RunReport &report;
    int paths = NoPaths;
    // Whether a run with other paths may have left objects mapped that the
    // note does not name, with nothing kept.
    bool mayHaveUnkept = false;
};

#endif // PLANNER_H
