// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// A run as a pipeline: lock, open the build directory, load the note, plan,
// take the planned step (the headers a container's reply names), carry the
// plan out, remove what is kept of files CMake dropped, end the note, remove
// the queries (not for a watch), in that order in DoCMakeApiPathMapping():
// what each file is, the planner tells, and the writer does what that needs.

#include "cmakeapimapper.h"

#include "cachereply.h"
#include "mappingnote.h"
#include "planner.h"
#include "replywriter.h"
#include "runlock.h"
#include "temporaryfiles.h"

#include <cerrno>

CmakeApiMapper::CmakeApiMapper(const QString &sysrootPath, const QString &workspacePath)
    : paths { sysrootPath, workspacePath }, rules(paths)
{
    directory.emplace(report);
}

void CmakeApiMapper::setMappings(const QList<PathMapping> &mappings)
{
    paths.mappings = mappings;
    rules = PathRules(paths);
}

bool CmakeApiMapper::setBuildDirectory(const QByteArray &path)
{
    report = RunReport();
    if (isWatched)
        report.setWatched();
    lastRun = RunSummary();
    directory.emplace(report);
    return directory->enter(path, isCompileCommandsRequested);
}

bool CmakeApiMapper::DoCMakeApiPathMapping()
{
    if (directory->directoryFd() < 0)
        return report.fail({}, "cannot enter", EBADF);
    // One run at a time: a run that read the note while another was mapping
    // would map again what the other maps.
    RunLock lock;
    const QByteArray wait = QByteArray::number(lockWaitMilliseconds / 1000.0) + " s";
    RunLock::Result locked = lock.lock(directory->directoryFd(), 0);
    if (locked == RunLock::Busy) {
        report.print({}, "another run is mapping here: waiting up to " + wait + " for it to end");
        locked = lock.lock(directory->directoryFd(), lockWaitMilliseconds);
    }
    if (locked == RunLock::Busy)
        return report.fail({}, "another run held the build directory for the whole wait of " + wait);
    QByteArray noteText;
    std::optional<MappingNote> previous;
    if (!directory->openForRun() || !(previous = directory->readNote(noteText)))
        return false;
    // CMake empties the reply when it configures with no queries: the
    // queries written since are left for it.
    const bool isReplyEmpty = directory->isReplyEmpty();
    if (isReplyEmpty)
        report.print(REPLY_PATH, "empty, as CMake leaves it when it configures with no queries: write them in "
                                    + report.displayPath(QUERY_PATH) + " before it configures");
    const int pathsIndex = previous->pathsIndex(paths);
    Plan plan;
    KeptStore &kept = directory->keptFiles();
    if (!Planner(*previous, pathsIndex, rules, *directory, kept, report).plan(isCompileCommandsRequested, plan)
        || (beforeWriting && !beforeWriting(plan, *directory, rules, report)))
        return false;
    // No other run is writing now, so what is named as its temporary files
    // was left by a run that was killed.
    if (locked == RunLock::Locked)
        directory->removeKilledRunsFiles();
    TemporaryFiles::removeOnSignal();

    // The objects, then the database, then the index files: a reader that
    // finds a new index can trust that the objects it names, and the
    // database, are already rewritten.
    ReplyWriter writer(*previous, plan, noteText, pathsIndex, rules, *directory, kept, report, lastRun);
    if (!doCMakeApiReplyPathMapping(writer, plan.objects) || (plan.database && !writer.mapDatabaseFile(*plan.database))
        || !doCMakeApiReplyPathMapping(writer, plan.indexes))
        return false;
    // What CMake no longer keeps is given back.
    if (plan.keptToLeave)
        kept.removeKeptBut(*plan.keptToLeave);
    // The entries of the index files and the database were saved before
    // they were written.
    writer.endNote();
    return isWatched || !directory->replyExists() || isReplyEmpty || directory->removeQueries();
}

bool CmakeApiMapper::doCMakeApiReplyPathMapping(ReplyWriter &writer, const QList<PlannedFile> &files)
{
    for (const PlannedFile &file : files) {
        if (!writer.mapFile(file))
            return false;
    }
    return true;
}

bool CmakeApiMapper::doCMakeApiCacheReplyPathMapping(QByteArray &text) const
{
    return mapCacheReply(text, rules);
}
