// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The build directory a run works in: every directory it needs, each
// resolved once beneath it; the reply's files and the names kept, listed
// once under the lock; the note's file; and what is kept of what CMake wrote.

#ifndef BUILDDIRECTORY_H
#define BUILDDIRECTORY_H

#include "confineddirectory.h"
#include "contenthash.h"
#include "filereplacement.h"
#include "runreport.h"

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QSet>

#include <sys/stat.h>

constexpr char FILE_API_PATH[] = ".cmake/api/v1";
constexpr char REPLY_PATH[] = ".cmake/api/v1/reply";
constexpr char QUERY_PATH[] = ".cmake/api/v1/query";
constexpr char DATABASE_PATH[] = "compile_commands.json";
// Beside the reply, not in it: when CMake writes a reply it deletes every
// other file of the reply directory.
constexpr char NOTE_NAME[] = ".dorvane-mapped-files";
constexpr char KEPT_DIRECTORY_NAME[] = ".dorvane-kept";
// What is kept of the database, by a name no reply file can have.
constexpr char KEPT_DATABASE_NAME[] = ".compile_commands.json";
// Why a file mapped with other paths cannot be mapped with these.
constexpr char NOT_KEPT_REASON[] = "mapped with other paths, and no intact copy of what CMake wrote is kept: ";

inline bool isIndexName(const QByteArray &name)
{
    return name.startsWith("index-");
}

// Nothing here is read, written or removed through a link. What is kept
// goes by the name of the file in the reply, and the database's by a name
// of its own.
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

    bool isKept(const QByteArray &keptName) const { return keptNames.contains(keptName); }
    ReadResult readKept(const QByteArray &keptName, QByteArray &content, FileStatus &status);
    ReadResult openKept(const QByteArray &keptName, FileReader &reader, FileStatus &status);
    // Of what is kept where it is what CMake wrote: its content has the
    // checksum expected, or, without one, the hash in its name.
    Checksum intactKeptChecksum(const QByteArray &keptName, const Checksum &expected);
    // Where a replacement of a file on device keeps what it replaces.
    bool keptVersionFor(const QByteArray &keptName, quint64 device, KeptVersion &version) const;
    bool storeKept(const QByteArray &keptName, const QByteArray &content);
    void addKept(const KeptVersion &version);
    void removeKept(const QByteArray &keptName);
    void removeKeptBut(const QSet<QByteArray> &names);
    // Fails the run for a file at path mapped with other paths that nothing
    // intact kept can map again, with advice; or for what is kept that
    // cannot be read.
    bool refuse(const QByteArray &keptName, const QByteArray &path, const QByteArray &advice);

    // False, said, for a note that cannot be read; none is empty.
    bool readNote(QByteArray &text);
    bool writeNote(const QByteArray &text);

    // What runs killed by SIGKILL left where runs write: only under the lock.
    void removeKilledRunsFiles();
    bool removeQueries();

    // How to have CMake write its reply again, and afresh, the reply and,
    // with the note, it removed first: each path as named from where the
    // run started.
    QByteArray reconfigure() const;
    QByteArray afresh(bool withNote = false) const;
    static QByteArray replyPath(const QByteArray &name);
    static QByteArray fileApiPath(const QByteArray &name);

private:
    void findDatabase();
    void openKeptDirectory(bool create);
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
    FileDescriptor kept;
    // Why a kept files' directory that stands there cannot be opened.
    int keptError = 0;
    quint64 keptDevice = 0;
    QSet<QByteArray> keptNames;
};

#endif // BUILDDIRECTORY_H
