// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The mapper: a run over a reply, step by step.

#ifndef CMAKEAPIMAPPER_H
#define CMAKEAPIMAPPER_H

#include "builddirectory.h"
#include "pathrules.h"
#include "replywriter.h"
#include "runreport.h"

#include <QtCore/QByteArray>
#include <QtCore/QString>

#include <optional>


// Rewrites the paths in a CMake file API reply that CMake wrote inside a
// build environment, so that the reply names the same files as the host
// reaches them: system directories are re-rooted under the sysroot path and
// "/workspace" is replaced by the workspace path. Works in the build
// directory, the current one or the one given, and never acts outside it.
class CmakeApiMapper
{
public:
    CmakeApiMapper(const QString &sysrootPath, const QString &workspacePath);

    // Where a path starts with a mapping's CONTAINER, it is mapped to its
    // HOST, and no fixed rule applies.
    void setMappings(const QList<PathMapping> &mappings);
    // Asks the run to map compile_commands.json as well, before the index files.
    void requestCompileCommands() { isCompileCommandsRequested = true; }
    // Each run starts here: enters the build directory, the current one
    // for an empty path, and finds what stands there now. False, with errno
    // set, for one that cannot be entered.
    bool setBuildDirectory(const QByteArray &directory = {});

    // Whether a reply directory stands at its path: a file there is none.
    // One that leads out of the build directory does, and fails the run.
    bool isReplyExist() const { return directory->replyExists(); }
    bool isQueryExist() const { return directory->queryExists(); }
    bool isCompileCommandsExist() const { return directory->databaseExists(); }
    bool isCMakeBuildDirectory() const { return directory->hasCMakeCache(); }
    // A file of the build directory as named from where the run started.
    QByteArray displayPath(const QByteArray &file) const { return report.displayPath(file); }

    // Takes the build directory's lock, opens what the run works on, loads
    // what the last run noted, plans every file, carries the plan out,
    // notes what it did, and removes the query directory if the reply
    // holds files. Stops at the first file that cannot be mapped: it and every
    // later one are left as they were; and where a file is not
    // recoverable, before anything is written.
    bool DoCMakeApiPathMapping();

    // Rewrites a cache reply (UTF-8 JSON) entry by entry and re-serialises
    // it if any value changes. On false the text is unchanged and must not
    // be written back.
    bool doCMakeApiCacheReplyPathMapping(QByteArray &text) const;
    static bool isFlagCacheVariable(const QString &name);

    // Why the run failed: the file, as named from where it started, and the
    // reason. Empty while nothing failed.
    const QByteArray &problem() const { return report.problem(); }
    // What the last run did.
    const RunSummary &summary() const { return lastRun; }

private:
    friend class tst_Mapper;
    // How long a run waits for another run in the same build directory to end.
    void setLockWait(int milliseconds) { lockWaitMilliseconds = milliseconds; }

    std::optional<MappingNote> loadNote(QByteArray &text);
    bool doCMakeApiReplyPathMapping(ReplyWriter &writer, const QList<PlannedFile> &files);

    MappingPaths paths;
    PathRules rules;
    RunReport report;
    std::optional<BuildDirectory> directory;
    RunSummary lastRun;
    bool isCompileCommandsRequested = false;
    // Long enough for another run over the largest reply on a slow disk; a
    // holder that takes longer is stopped or hung, and waiting on for it
    // would hang whoever started this run too.
    int lockWaitMilliseconds = 60000;
};

#endif // CMAKEAPIMAPPER_H
