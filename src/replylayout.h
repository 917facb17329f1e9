// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// What a run works on, found once beneath the build directory: the file
// API's directory, the reply, its files, the compilation database and the
// queries.

#ifndef REPLYLAYOUT_H
#define REPLYLAYOUT_H

#include "confineddirectory.h"
#include "runreport.h"

#include <QtCore/QByteArray>
#include <QtCore/QList>

#include <optional>

#include <sys/stat.h>

constexpr char FILE_API_PATH[] = ".cmake/api/v1";
constexpr char REPLY_PATH[] = ".cmake/api/v1/reply";
constexpr char QUERY_PATH[] = ".cmake/api/v1/query";
constexpr char DATABASE_PATH[] = "compile_commands.json";
// Beside the reply, not in it: when CMake writes a reply it deletes every
// other file of the reply directory.
constexpr char NOTE_NAME[] = ".dorvane-mapped-files";
constexpr char KEPT_DIRECTORY_NAME[] = ".dorvane-kept";
constexpr char LEADS_OUT[] = "the link leads out of the build directory";

using ReplyFile = DirectoryEntry;

inline bool isIndexName(const QByteArray &name)
{
    return name.startsWith("index-");
}

// Where a reply file's bytes are: the reply directory and its name, or,
// through a link that stays inside, the directory of the file it points to
// and its name there.
struct Location
{
    FileDescriptor linkDirectory;
    int directory = -1;
    QByteArray name;
};

class ReplyLayout
{
public:
    explicit ReplyLayout(RunReport &report) : report(report) { }

    // The build directory: the current one, or the one -C names, as it
    // resolves now. False, with errno set, for one that cannot be entered.
    bool open(const QByteArray &directory);
    int buildDirectory() const { return isOpen ? build.fd() : -1; }
    int openError() const { return buildDirectoryError; }

    // Whether a reply directory stands at its path. One that leads out of
    // the build directory does, and fails openFileApi().
    bool replyExists();
    // Fails the run for a reply, or a file API directory, that leads out or
    // cannot be opened.
    bool openFileApi();
    bool listReply(QList<ReplyFile> &files);
    // Finds a reply file's bytes. Skipped for anything that is no reply
    // file to map: a link that leads out, which is said, or to no regular
    // file; Failed, with the reason reported, for a link that cannot be
    // followed.
    ReadResult locate(const ReplyFile &file, Location &location);
    // What tells the file a link was located to from the file another link
    // leads to: its directory and its name there.
    static QByteArray targetKey(const Location &location);
    int replyDirectory() const { return reply.get(); }
    static QByteArray replyPath(const QByteArray &name);
    static QByteArray fileApiPath(const QByteArray &name);

    // The file API's directory, made if asked and missing; -1 where there
    // is none, and a failure where it cannot be made or leads out, unless
    // the run can do without it.
    int fileApiDirectory(bool create = false, bool isNeeded = true);

    // Whether compile_commands.json is a regular file, or a link to one
    // inside the build directory that is not another build directory's.
    bool databaseExists();
    int databaseDirectory() const { return database.get(); }
    const QByteArray &databaseName() const { return databaseFileName; }
    // Opens the database to read it; Failed is said.
    ReadResult openDatabase(FileReader &reader, FileStatus &status);

    bool queryExists();
    bool removeQueries();

    // How to have CMake write what it wrote again: write the queries and
    // configure; and to start afresh, remove the reply first, and with
    // the note, it too. Each path as named from where the run started.
    QByteArray reconfigure() const;
    QByteArray afresh(bool withNote = false) const;

private:
    bool resolveFileApi(bool create, bool isNeeded);
    // Whether a directory is the reply's, the file API's or the kept files'.
    bool isFileApiDirectory(int directory);
    Resolution locateDatabase();

    RunReport &report;
    ConfinedDirectory build;
    bool isOpen = false;
    int buildDirectoryError = 0;
    std::optional<Resolution> replyState;
    FileDescriptor reply;
    FileDescriptor fileApi;
    bool isDatabaseResolved = false;
    bool hasDatabase = false;
    FileDescriptor database;
    QByteArray databaseFileName;
    // Where the database's path leads, found once, as it stood before
    // anything was written.
    std::optional<Resolution> databaseResolution;
    struct stat databaseStatus = {};
    // Why a database that a link names cannot be reached.
    int databaseError = 0;
};

#endif // REPLYLAYOUT_H
