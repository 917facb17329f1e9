// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Carrying a plan out: each file mapped from what CMake wrote, or left as
// it is, and the note kept true while the files change.

#ifndef REPLYWRITER_H
#define REPLYWRITER_H

#include "keptoriginals.h"
#include "mappingnote.h"
#include "pathrules.h"
#include "planner.h"
#include "replylayout.h"
#include "runreport.h"

#include <QtCore/QByteArray>

class ReplyWriter
{
public:
    // savedNote is the note's text as it stands on disk.
    ReplyWriter(const MappingNote &previous, const QByteArray &savedNote, int paths, const PathRules &rules,
                ReplyLayout &layout, KeptOriginals &kept, RunReport &report);

    // The note as it stands before anything is written, so that saving it
    // before one index is written never drops what another needs.
    void begin(const Plan &plan);
    bool mapFile(const PlannedFile &planned);
    bool mapDatabase(const PlannedDatabase &planned);
    // Once every file is mapped: each object is noted now, or what CMake
    // wrote of it kept, so no run can have left one unkept.
    void end();

private:
    ReadResult read(const PlannedFile &planned, Location &location, FileStatus &status);
    bool replace(const QByteArray &name, const Location &location, const FileStatus &status, const QByteArray &text,
                 FileIdentity *written, KeptVersion *version, bool isObject);
    bool noteUnkept();
    bool saveNote();

    const MappingNote &previous;
    MappingNote note;
    QByteArray savedNote;
    const int paths;
    const PathRules &rules;
    ReplyLayout &layout;
    KeptOriginals &kept;
    RunReport &report;
    QByteArray content;
    QByteArray mapped;
};

#endif // REPLYWRITER_H
