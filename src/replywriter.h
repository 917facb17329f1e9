// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Carrying a plan out: each file mapped from what CMake wrote, or left as
// it is, and the note kept true while the files change.

#ifndef REPLYWRITER_H
#define REPLYWRITER_H

#include "builddirectory.h"
#include "mappingnote.h"
#include "pathrules.h"
#include "planner.h"
#include "replytext.h"

#include <QtCore/QByteArray>
#include <QtCore/QHash>

// What a run did, as a watch says it: the reply files it mapped, whether it
// mapped the database, and each index and the database as it left them.
struct RunSummary
{
    int replyFiles = 0;
    bool isDatabaseMapped = false;
    QHash<QByteArray, FileIdentity> left;
};

class ReplyWriter
{
public:
    // The note starts with the plan's entries for the indexes and the
    // database, so that saving it before one is written never drops what
    // another needs. savedNote is its text as it stands on disk.
    ReplyWriter(const MappingNote &previous, const Plan &plan, const QByteArray &savedNote, int paths,
                const PathRules &rules, BuildDirectory &directory, KeptStore &kept, RunReport &report,
                RunSummary &summary);
    bool mapFile(const PlannedFile &planned);
    bool mapDatabaseFile(PlannedDatabase &planned);
    // Each object is noted, or kept, so no run can have left one unkept. A
    // note that cannot be saved now only costs the next run reading mapped
    // objects: it fails nothing and says nothing.
    void endNote();

private:
    // A reply file's text: what CMake wrote, as the rules read it, and mapped.
    struct MappedText
    {
        QByteArray original;
        QByteArray content;
        QByteArray mapped;
        unsigned dropped = 0;
        RewriteCheck check = RewriteCheck::MayBeRewritten;
        TextMapping mapping = TextMapping::Unchanged;

        const QByteArray &text() const { return mapping == TextMapping::Unchanged ? content : mapped; }
    };
    enum class Outcome {
        Written,
        Failed,
        // No version could be made that keeps what it replaces.
        NotKept,
        // CMake removed the file while the run went on.
        Gone,
    };

    ReadResult readOriginal(const PlannedFile &planned, FileStatus &status, QByteArray &original);
    bool isLeftAsItIs(const PlannedFile &planned, FileStatus &status, const MappedText &text);
    bool writeMapped(const PlannedFile &planned, const FileStatus &status, const MappedText &text);
    Outcome putInPlace(const QByteArray &name, const FileStatus &status, const QByteArray &text, FileIdentity *written,
                       KeptVersion *version, bool isObject);
    Outcome removedMeanwhile(const QByteArray &path);
    // The database mapped from source: itself, current, or what is kept of it.
    Outcome writeDatabaseVersion(const PlannedDatabase &planned, FileReader &source, const FileReader &current,
                                 const FileStatus &status, bool mayKeep);
    bool saveNote();

    // One file's text at a time, in buffers that serve every file.
    MappedText buffers;
    MappingNote note;
    QByteArray savedNote;
    const int paths;
    const PathRules &rules;
    BuildDirectory &directory;
    KeptStore &kept;
    RunReport &report;
    RunSummary &summary;
};

#endif // REPLYWRITER_H
