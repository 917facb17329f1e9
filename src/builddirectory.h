// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The build directory a run works in: every directory it needs, each
// resolved once beneath it; the reply's files and what is kept, listed once
// under the lock; and the note's file.

#ifndef BUILDDIRECTORY_H
#define BUILDDIRECTORY_H

#include "buildpaths.h"
#include "confineddirectory.h"
#include "keptstore.h"
#include "mappingnote.h"
#include "runreport.h"

#include <QtCore/QByteArray>
#include <QtCore/QList>

#include <optional>

#include <sys/stat.h>

// Nothing here is read, written or removed through a link.
class BuildDirectory
{
public:
    explicit BuildDirectory(RunReport &report) : report(report) { }

    // Before the lock: opens the build directory (the current one for an
    // empty path) as it resolves now, and finds the file API's directory,
    // the reply and, where asked, the database. False, with errno set, for
    // one that cannot be entered.
    bool enter(const QByteArray &path, bool withDatabase);
    int directoryFd() const { return isEntered ? root.rootFd() : -1; }
    // A file in the reply's place is none; one that leads out is one, and
    // fails openForRun().
    bool replyExists() const;
    // A regular file, or a link to one inside that is no other build
    // directory's; one that cannot be followed is, and fails the run.
    bool databaseExists() const { return hasDatabase; }
    bool queryExists() const;
    bool hasCMakeCache() const;

    // Under the lock: lists the reply's files, each link skipped with a
    // line; opens what is kept, made where there is anything to keep, and
    // lists it; makes the file API's directory for a database that has
    // none. Fails for a reply or file API directory that leads out or
    // cannot be opened.
    bool openForRun();
    const QList<QByteArray> &replyFiles() const { return files; }
    // As CMake leaves it when it configures with no queries.
    bool isReplyEmpty() const { return replyExists() && !isReplyListed; }
    int replyDirectory() const { return reply.get(); }
    // One that became a link since it was listed is skipped as a listed one is.
    ReadResult readReplyFile(const QByteArray &name, QByteArray &content, FileStatus &status);

    int databaseDirectory() const { return database.get(); }
    const QByteArray &databaseName() const { return databaseFileName; }
    // Failed is said.
    ReadResult openDatabase(FileReader &reader, FileStatus &status);

    KeptStore &keptFiles() { return kept; }

    // The note, and its text as it stands; none, said, for one that cannot
    // be read or is in a format this tool cannot read. No note is empty.
    std::optional<MappingNote> readNote(QByteArray &text);
    bool writeNote(const QByteArray &text);

    // What runs killed by SIGKILL left where runs write: only under the lock.
    void removeKilledRunsFiles();
    bool removeQueries();

private:
    void findDatabase();
    bool isInFileApi(int directory) const;

    RunReport &report;
    ConfinedDirectory root;
    bool isEntered = false;
    Resolution replyState = Resolution::Missing;
    int replyError = 0;
    FileDescriptor reply;
    Resolution fileApiState = Resolution::Missing;
    int fileApiError = 0;
    FileDescriptor fileApi;
    QList<QByteArray> files;
    bool isReplyListed = false;
    bool hasDatabase = false;
    // Why a database that a link names cannot be reached.
    int databaseError = 0;
    FileDescriptor database;
    QByteArray databaseFileName;
    KeptDirectory kept;
};

#endif // BUILDDIRECTORY_H
