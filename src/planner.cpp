// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Each file's provenance, from the note and the file's status where they
// agree, and from its content and what is kept of it where they do not.

#include "planner.h"

#include "contenthash.h"
#include "databasemap.h"
#include "replytext.h"

#include <cerrno>

Planner::Planner(const MappingNote &note, int paths, const PathRules &rules, BuildDirectory &directory,
                 KeptStore &kept, RunReport &report)
    : note(note), paths(paths), mayHaveUnkept(!(note.unkeptPaths - QSet<int> { paths }).isEmpty()), rules(rules),
      directory(directory), kept(kept), report(report)
{
}

bool Planner::plan(bool withDatabase, Plan &plan)
{
    const QList<QByteArray> &files = directory.replyFiles();
    plan.objects.reserve(files.size());
    bool isReplyNew = false;
    qsizetype notedIndexes = 0;
    for (const QByteArray &name : files) {
        const bool isIndex = isIndexName(name);
        PlannedFile planned = isIndex ? planIndex(name) : planObject(name);
        if (planned.provenance == Provenance::NotRecoverable)
            return kept.refuse(report, name, replyPath(name), report.afresh());
        isReplyNew = isReplyNew || (isIndex && planned.provenance == Provenance::AsCMakeWrote);
        notedIndexes += isIndex && note.indexes.contains(name);
        (isIndex ? plan.indexes : plan.objects).append(std::move(planned));
    }
    if (directory.databaseExists()) {
        plan.database.emplace();
        if (!planDatabase(*plan.database))
            return false;
    }
    // Where CMake wrote the reply anew, which a new index or a noted one gone
    // tells, it dropped the files it no longer names.
    if (isReplyNew || notedIndexes < note.indexes.size()) {
        plan.keptToLeave.emplace(files.begin(), files.end());
        if (!withDatabase || plan.database)
            plan.keptToLeave->insert(KEPT_DATABASE_NAME);
    }
    // One that is no regular file by now is left as it is.
    if (plan.database && plan.database->reader.openFd() < 0)
        plan.database.reset();
    return true;
}

// Only an object the note does not name as it stands is read here.
PlannedFile Planner::planObject(const QByteArray &name)
{
    PlannedFile planned;
    planned.name = name;
    // A first run, with no note and nothing kept, plans from the names alone.
    const auto noted = note.objects.constFind(name);
    const ObjectEntry *const entry = noted != note.objects.cend() ? &*noted : nullptr;
    if ((!entry && !mayHaveUnkept && !kept.isKept(name))
        || !readFileStatus(directory.replyDirectory(), name.constData(), planned.status))
        return planned;
    if (entry && entry->identity == planned.status.identity) {
        if (entry->isAsCMakeWrote) {
            planned.isUnchanged = isUnchangedHere(*entry);
            planned.provenance = planned.isUnchanged ? Provenance::MappedWithThesePaths : Provenance::AsCMakeWrote;
        } else if (entry->paths == paths) {
            planned.keptChecksum = entry->kept;
            planned.provenance = Provenance::MappedWithThesePaths;
        } else {
            planned.keptChecksum = kept.intactKeptChecksum(name, entry->kept);
            planned.provenance = planned.keptChecksum ? Provenance::MappedWithOtherPaths : Provenance::NotRecoverable;
        }
        return planned;
    }
    // Noted with other paths and touched since, or perhaps left mapped by a
    // run that kept nothing: where what is kept tells nothing, only the hash
    // in its name tells.
    const bool mayHoldOtherPaths = (entry && !entry->isAsCMakeWrote && entry->paths != paths) || mayHaveUnkept;
    FileStatus status;
    QByteArray content;
    if ((!kept.isKept(name) && !mayHoldOtherPaths)
        || readFile(directory.replyDirectory(), name.constData(), content, status) != ReadResult::Read
        || (kept.isKept(name) && compareWithKept(planned, entry, content, status)))
        return planned;
    if (mayHoldOtherPaths)
        planned.provenance = isAsNamed(name, content) ? Provenance::AsCMakeWrote : Provenance::NotRecoverable;
    return planned;
}

// What is kept of an object tells with which paths it was mapped since;
// false where it tells nothing.
bool Planner::compareWithKept(PlannedFile &planned, const ObjectEntry *entry, const QByteArray &content,
                              const FileStatus &status)
{
    QByteArray original;
    if (kept.readKept(planned.name, original) != ReadResult::Read)
        return false;
    planned.status = status;
    planned.keptChecksum = checksumOf(original);
    // CMake names an object by its content, so what is kept intact under its
    // name is what it wrote there. A name with no hash may hold anything new:
    // what is kept of it tells only where it maps to it with the paths noted.
    const bool isNamed = !hashInName(planned.name).isEmpty();
    const bool isIntact = entry && entry->kept ? entry->kept == planned.keptChecksum : isAsNamed(planned.name, original);
    QByteArray mapped;
    if (content == original) {
        planned.provenance = Provenance::AsCMakeWrote;
    } else if (mapText(planned.name, original, rules, mapped) && mapped == content) {
        planned.provenance = Provenance::MappedWithThesePaths;
    } else if (isIntact
               && (isNamed
                   || (mapText(planned.name, original, PathRules(note.paths.value(entry->paths)), mapped)
                       && mapped == content))) {
        planned.provenance = Provenance::MappedWithOtherPaths;
    } else if (!isNamed && !entry && !(mapText(planned.name, content, rules, mapped) && mapped.startsWith(original))) {
        // With the note gone, only a version a run killed before its
        // exchange left there is told from the file: these paths map the
        // file to it, or to more.
        planned.provenance = Provenance::NotRecoverable;
    } else {
        planned.keptChecksum.reset();
        planned.isKeptStale = true;
        return false;
    }
    return true;
}

// An index is named by the time CMake wrote it: the note names one this
// tool wrote by the checksum of what it wrote, and what is kept of it.
PlannedFile Planner::planIndex(const QByteArray &name)
{
    PlannedFile planned;
    planned.name = name;
    planned.provenance = Provenance::AsCMakeWrote;
    QByteArray content;
    QByteArray original;
    if (readFile(directory.replyDirectory(), name.constData(), content, planned.status) != ReadResult::Read)
        return planned;
    const quint64 checksum = checksumOf(content);
    const auto noted = note.indexes.constFind(name);
    if (noted == note.indexes.cend()) {
        // With the note gone, what is kept of an index is taken for what
        // CMake wrote: it is copied there whole before the index is replaced.
        if (!kept.isKept(name) || kept.readKept(name, original) != ReadResult::Read
            || original == content)
            return planned;
        planned.keptChecksum = checksumOf(original);
        QByteArray mapped;
        const bool isMapped = mapText(name, original, rules, mapped) && mapped == content;
        planned.provenance = isMapped ? Provenance::MappedWithThesePaths : Provenance::MappedWithOtherPaths;
        planned.entry = IndexEntry { isMapped ? Checksum(checksum) : Checksum(), paths, planned.keptChecksum };
        return planned;
    }
    // Where what is kept is intact, it is what CMake wrote, whatever stands
    // in the reply now.
    const bool isOurs = noted->mapped == checksum;
    if (isOurs && noted->paths == paths) {
        planned.provenance = Provenance::MappedWithThesePaths;
    } else {
        planned.keptChecksum = noted->kept ? kept.intactKeptChecksum(name, noted->kept) : Checksum();
        if (isOurs || planned.keptChecksum)
            planned.provenance = planned.keptChecksum ? Provenance::MappedWithOtherPaths : Provenance::NotRecoverable;
    }
    if (planned.provenance != Provenance::AsCMakeWrote)
        planned.entry = *noted;
    return planned;
}

// The database is named by no hash: the note tells the version this tool
// left by its identity, or, where only the size matches, by its checksum.
// With the note gone, what is kept of it tells.
bool Planner::planDatabase(PlannedDatabase &database)
{
    FileReader &reader = database.reader;
    const ReadResult opened = directory.openDatabase(reader, database.status);
    if (opened == ReadResult::Link)
        report.print(DATABASE_PATH, "skipped: it became a link while the run went on");
    if (opened != ReadResult::Read) {
        reader = FileReader();
        return opened != ReadResult::Failed;
    }
    const FileIdentity &identity = database.status.identity;
    Checksum checksum;
    const auto readChecksum = [&] {
        if (!checksum && reader.seekToStart())
            checksum = checksumOfRest(reader);
        return checksum || report.fail(DATABASE_PATH, "cannot read", errno);
    };
    if (!note.database) {
        FileReader keptReader;
        FileReplacement none;
        DatabaseMapping mapping;
        if (kept.isKept(KEPT_DATABASE_NAME)
            && kept.openKept(KEPT_DATABASE_NAME, keptReader) == ReadResult::Read
            && ::mapDatabase(rules, keptReader, nullptr, none, mapping) == DatabaseMapping::Done
            && mapping.size == identity.size) {
            if (!readChecksum())
                return false;
            if (*checksum == mapping.checksum) {
                database.provenance = Provenance::MappedWithThesePaths;
                database.entry = DatabaseEntry { { mapping.checksum, identity, paths }, mapping.sourceChecksum, {} };
            }
        }
        return true;
    }
    // The version noted, or the one a run that ended too soon was replacing.
    const DatabaseEntry &noted = *note.database;
    for (const std::optional<DatabaseVersion> &version : { std::optional(noted.version), noted.replaced }) {
        if (!version || !version->identity.isValid())
            continue;
        if (version->identity != identity) {
            if (version->identity.size != identity.size)
                continue;
            if (!readChecksum())
                return false;
            if (*checksum != version->checksum)
                continue;
        }
        database.entry = DatabaseEntry { { version->checksum, identity, version->paths }, noted.kept, {} };
        if (version->paths == paths)
            database.provenance = Provenance::MappedWithThesePaths;
        else if (noted.kept && kept.intactKeptChecksum(KEPT_DATABASE_NAME, noted.kept))
            database.provenance = Provenance::MappedWithOtherPaths;
        else
            return kept.refuse(report, KEPT_DATABASE_NAME, DATABASE_PATH, report.reconfigure());
        return true;
    }
    database.entry = noted;
    return true;
}

// What rules make of a reply file's text, as the writer maps it; false for
// one they cannot map.
bool Planner::mapText(const QByteArray &name, const QByteArray &text, const PathRules &with, QByteArray &out)
{
    QByteArray normalized = text;
    unsigned dropped = 0;
    if (!normalizeReplyText(normalized, dropped))
        return false;
    const TextMapping mapping = mapReplyText(with, name, normalized, out);
    if (mapping == TextMapping::Unchanged)
        out = normalized;
    return mapping != TextMapping::NotCacheReply;
}

// Where the fixed rules leave an object as it is, only other CONTAINERs map it.
bool Planner::isUnchangedHere(const ObjectEntry &entry) const
{
    const auto containers = [](const MappingPaths &mappingPaths) {
        QStringList listed;
        for (const PathMapping &mapping : mappingPaths.mappings)
            listed.append(mapping.container);
        return listed;
    };
    return containers(note.paths.value(entry.paths)) == containers(note.paths.value(paths));
}
