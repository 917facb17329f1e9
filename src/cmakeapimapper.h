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

#include <functional>
#include <optional>


// Rewrites the paths in a CMake file API reply written inside a build
// environment, so that it names the files as the host reaches them.
class CmakeApiMapper
{
public:
    CmakeApiMapper(const QString &sysrootPath, const QString &workspacePath);

    void setMappings(const QList<PathMapping> &mappings);
    void requestCompileCommands() { isCompileCommandsRequested = true; }
    // Runs for a watch: the queries stay for every configure to answer, and
    // a run that CMake overtakes says nothing of it.
    void setWatched() { isWatched = true; }
    // A step of each run once it has planned, before it writes anything: false, said, fails the run.
    using PlannedStep = std::function<bool(Plan &, BuildDirectory &, const PathRules &, RunReport &)>;
    void setBeforeWriting(PlannedStep step) { beforeWriting = std::move(step); }
    // Each run starts here, in the current directory for an empty path.
    // False, with errno set, for one that cannot be entered.
    bool setBuildDirectory(const QByteArray &directory = {});
    // Closes what a run held open, as a watch does between runs.
    void leaveBuildDirectory() { directory.emplace(report); }

    bool isReplyExist() const { return directory->replyExists(); }
    bool isQueryExist() const { return directory->queryExists(); }
    const BuildDirectory &buildDirectory() const { return *directory; }

    // Stops at the first file that cannot be mapped, which and every later
    // one are left as they were; where a file is not recoverable, before
    // anything is written.
    bool DoCMakeApiPathMapping();

    // On false the text is unchanged and must not be written back.
    bool doCMakeApiCacheReplyPathMapping(QByteArray &text) const;

    // What the run says: its problem() is why it failed.
    const RunReport &runReport() const { return report; }
    // What the last run did.
    const RunSummary &summary() const { return lastRun; }

private:
    friend class tst_Mapper;
    void setLockWait(int milliseconds) { lockWaitMilliseconds = milliseconds; }

    bool doCMakeApiReplyPathMapping(ReplyWriter &writer, const QList<PlannedFile> &files);

    MappingPaths paths;
    PathRules rules;
    RunReport report;
    std::optional<BuildDirectory> directory;
    RunSummary lastRun;
    PlannedStep beforeWriting;
    bool isCompileCommandsRequested = false;
    bool isWatched = false;
    // Long enough for another run over the largest reply on a slow disk: a
    // holder that takes longer is stopped or hung.
    int lockWaitMilliseconds = 60000;
};

#endif // CMAKEAPIMAPPER_H
