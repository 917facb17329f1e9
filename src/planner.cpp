// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Each file's provenance, told from the note and the file's status where
// they agree, and from its content and what is kept of it where they do not.
// A file is read here only where contents must be compared; what the plan
// reads of a file, the run reads again to map it, one file at a time.

#include "planner.h"

#include "contenthash.h"
#include "databasemap.h"
#include "replytext.h"

#include <cerrno>

Planner::Planner(const MappingNote &note, int paths, const PathRules &rules, ReplyLayout &layout,
                 KeptOriginals &kept, RunReport &report)
    : note(note), paths(paths), rules(rules), layout(layout), kept(kept), report(report)
{
    for (const int unkept : note.unkeptPaths)
        mayHaveUnkept = mayHaveUnkept || unkept != paths;
}

bool Planner::plan(const QList<ReplyFile> &files, bool withDatabase, Plan &plan)
{
    qsizetype notedIndexes = 0;
    plan.objects.reserve(files.size());
    for (const ReplyFile &file : files) {
        Location location;
        if (!layout.locate(file, location))
            continue;
        const bool isIndex = isIndexName(file.name);
        PlannedFile planned = isIndex ? planIndex(file, location) : planObject(file, location);
        if (planned.provenance == Provenance::NotRecoverable)
            return report.fail(ReplyLayout::replyPath(file.name), NOT_KEPT_REASON + report.afresh());
        plan.isReplyNew = plan.isReplyNew || (isIndex && planned.provenance == Provenance::AsCMakeWrote);
        (isIndex ? plan.indexes : plan.objects).append(std::move(planned));
        notedIndexes += isIndex && note.indexes.contains(file.name);
    }
    // An index noted that is gone was dropped by CMake with a reply it wrote.
    plan.isReplyNew = plan.isReplyNew || notedIndexes < note.indexes.size();
    if (!withDatabase || !layout.databaseExists())
        return true;
    plan.database = PlannedDatabase();
    return planDatabase(*plan.database);
}

// CMake keeps a reply object whose name it would give again as it is, so
// after a configure a reply holds objects this tool has mapped beside new
// ones. The note names each object it mapped by the identity of the file it
// left; only an object the note does not name as it stands is read here.
PlannedFile Planner::planObject(const ReplyFile &file, const Location &location)
{
    PlannedFile planned;
    planned.file = file;
    // Files whose names carry no hash, which CMake does not write, are
    // mapped on every run; and a first run plans from the note alone.
    const auto noted = note.objects.constFind(file.name);
    const ObjectEntry *const entry = noted != note.objects.cend() ? &*noted : nullptr;
    if (hashInName(file.name).isEmpty() || (!entry && !mayHaveUnkept && !kept.contains(file.name))
        || !readFileStatus(location.directory, location.name.constData(), planned.status))
        return planned;
    if (entry && entry->identity == planned.status.identity) {
        planned.kept = entry->kept;
        if (entry->isAsCMakeWrote) {
            planned.isAsCMakeWrote = isUnchangedHere(*entry);
            planned.provenance = planned.isAsCMakeWrote ? Provenance::MappedWithThesePaths : Provenance::AsCMakeWrote;
        } else if (entry->paths == paths) {
            planned.provenance = Provenance::MappedWithThesePaths;
        } else {
            planned.isKept = kept.isIntact(file.name, entry->kept);
            planned.provenance = planned.isKept ? Provenance::MappedWithOtherPaths : Provenance::NotRecoverable;
        }
        return planned;
    }
    if (kept.contains(file.name) && compareWithKept(location, planned, entry))
        return planned;
    // Noted with other paths and touched or copied since, or perhaps left
    // mapped by a run with other paths that kept nothing: it holds other
    // paths unless it is what CMake wrote, as the hash in its name tells.
    const bool mayHoldOtherPaths = entry && !entry->isAsCMakeWrote && entry->paths != paths;
    FileStatus status;
    if ((mayHoldOtherPaths || mayHaveUnkept)
        && readFile(location.directory, location.name.constData(), content, status) == ReadResult::Read)
        planned.provenance = isAsNamed(file.name, content) ? Provenance::AsCMakeWrote : Provenance::NotRecoverable;
    return planned;
}

// An object the note does not name as it stands, whose original is kept:
// what CMake wrote tells with which paths it was mapped since. False where
// that tells nothing.
bool Planner::compareWithKept(const Location &location, PlannedFile &planned, const ObjectEntry *entry)
{
    FileStatus status;
    FileStatus keptStatus;
    if (readFile(location.directory, location.name.constData(), content, status) != ReadResult::Read
        || kept.read(planned.file.name, original, keptStatus) != ReadResult::Read)
        return false;
    planned.status = status;
    planned.isKept = true;
    planned.kept = checksumOf(original);
    if (content == original) {
        planned.provenance = Provenance::AsCMakeWrote;
    } else if (isMappedOnce(planned.file.name, original, content)) {
        planned.provenance = Provenance::MappedWithThesePaths;
    } else if (entry && entry->kept ? entry->kept == planned.kept : isAsNamed(planned.file.name, original)) {
        planned.provenance = Provenance::MappedWithOtherPaths;
    } else {
        planned.isKept = false;
        planned.kept.reset();
        planned.isKeptStale = true;
        return false;
    }
    return true;
}

// Index files are named by the time CMake wrote them, and written anew on
// every configure: the note names each index this tool wrote by the
// checksum of what it wrote, and what is kept of it by the checksum of that.
PlannedFile Planner::planIndex(const ReplyFile &file, const Location &location)
{
    PlannedFile planned;
    planned.file = file;
    planned.provenance = Provenance::AsCMakeWrote;
    if (readFile(location.directory, location.name.constData(), content, planned.status) != ReadResult::Read)
        return planned;
    const quint64 checksum = checksumOf(content);
    const auto noted = note.indexes.constFind(file.name);
    FileStatus keptStatus;
    if (noted == note.indexes.cend()) {
        // With the note gone, what is kept of an index is what CMake wrote:
        // its kept version is named only once it is.
        if (!kept.contains(file.name) || kept.read(file.name, original, keptStatus) != ReadResult::Read
            || original == content)
            return planned;
        planned.isKept = true;
        planned.kept = checksumOf(original);
        const bool isMapped = isMappedOnce(file.name, original, content);
        planned.provenance = isMapped ? Provenance::MappedWithThesePaths : Provenance::MappedWithOtherPaths;
        planned.entry = IndexEntry { isMapped ? Checksum(checksum) : Checksum(), paths, planned.kept };
        return planned;
    }
    // CMake writes an index once, under a name of its own: where what is
    // kept of it is intact, that is what CMake wrote, whatever stands in the
    // reply now, mapped with other paths or left by a run that ended before
    // it could put its own version in place.
    const bool isOurs = noted->mapped == checksum;
    planned.kept = noted->kept;
    if (isOurs && noted->paths == paths) {
        planned.provenance = Provenance::MappedWithThesePaths;
    } else {
        planned.isKept = noted->kept && kept.isIntact(file.name, noted->kept);
        if (isOurs || planned.isKept)
            planned.provenance = planned.isKept ? Provenance::MappedWithOtherPaths : Provenance::NotRecoverable;
    }
    if (planned.provenance != Provenance::AsCMakeWrote)
        planned.entry = *noted;
    return planned;
}

// CMake writes the database anew under the same name on every configure
// that writes anything else, and names it by no hash, so the note alone
// tells whether this tool wrote it: by the identity of the version it
// left, or, for one copied or touched since, by its checksum, read through
// only where the size matches, which it rarely does for a database CMake
// has just written.
bool Planner::planDatabase(PlannedDatabase &database)
{
    FileReader reader;
    const ReadResult opened = reader.open(layout.databaseDirectory(), layout.databaseName().constData(), database.status);
    if (opened == ReadResult::Failed)
        return report.fail(DATABASE_PATH, "cannot read", errno);
    if (opened != ReadResult::Read)
        return true;
    quint64 checksum = 0;
    const auto hasChecksum = [&](quint64 expected) {
        if (!reader.rewind() || !readChecksum(reader, checksum))
            return report.fail(DATABASE_PATH, "cannot read", errno);
        return checksum == expected;
    };
    if (!note.database) {
        // With the note gone, a database whose kept original maps to it was
        // mapped with these paths.
        FileReader keptReader;
        FileStatus keptStatus;
        FileReplacement none;
        DatabaseMapping mapping;
        if (kept.contains(KEPT_DATABASE_NAME)
            && kept.open(KEPT_DATABASE_NAME, keptReader, keptStatus) == ReadResult::Read
            && mapDatabase(rules, keptReader, nullptr, none, mapping) == DatabaseMapping::Done
            && mapping.size == database.status.identity.size && hasChecksum(mapping.checksum)) {
            database.provenance = Provenance::MappedWithThesePaths;
            database.entry = DatabaseEntry { mapping.checksum, database.status.identity, paths, mapping.sourceChecksum,
                                            NoPaths, 0, {} };
        }
        return report.problem().isEmpty();
    }
    // The version noted, or the one a run that ended too soon was replacing.
    const DatabaseEntry &noted = *note.database;
    const DatabaseEntry replaced { noted.replacedChecksum, noted.replaced, noted.replacedPaths, noted.kept, NoPaths, 0, {} };
    for (const DatabaseEntry &version : { noted, replaced }) {
        if (!version.identity.isValid())
            continue;
        if (version.identity != database.status.identity
            && (version.identity.size != database.status.identity.size || !hasChecksum(version.checksum)))
            continue;
        database.entry = DatabaseEntry { version.checksum, database.status.identity, version.paths, version.kept,
                                         NoPaths, 0, {} };
        if (version.paths == paths)
            database.provenance = Provenance::MappedWithThesePaths;
        else if (version.kept && kept.isIntact(KEPT_DATABASE_NAME, version.kept))
            database.provenance = Provenance::MappedWithOtherPaths;
        else
            return report.fail(DATABASE_PATH, QByteArray(NOT_KEPT_REASON) + "configure again");
        return true;
    }
    database.entry = noted;
    return report.problem().isEmpty();
}

bool Planner::isMappedOnce(const QByteArray &name, const QByteArray &originalText, const QByteArray &text)
{
    QByteArray normalized = originalText;
    unsigned dropped = 0;
    if (!normalizeReplyText(normalized, dropped))
        return false;
    const TextMapping mapping = mapReplyText(rules, name, normalized, mapped);
    return mapping != TextMapping::NotCacheReply && (mapping == TextMapping::Mapped ? mapped : normalized) == text;
}

// Where the fixed rules leave an object as it is, the two paths leave it so
// too: only other CONTAINERs may map it.
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

Provenance Planner::provenanceOfText(const QByteArray &name, const QByteArray &text, unsigned dropped,
                                     RewriteCheck check, bool isUnchanged)
{
    // The tool never writes a carriage return, and text it wrote holds no
    // match away from the paths it inserted: only a text that may be its
    // output is hashed. A rare file with a byte-order mark is hashed too.
    const QByteArrayView hash = hashInName(name);
    const bool mayBeOutput = !hash.isEmpty() && !(dropped & DroppedCarriageReturns)
            && (isUnchanged || (dropped & DroppedByteOrderMark) || check != RewriteCheck::NotRewritten);
    return mayBeOutput && !contentHash(text, dropped & DroppedByteOrderMark).startsWith(hash)
            ? Provenance::MappedWithThesePaths
            : Provenance::AsCMakeWrote;
}
