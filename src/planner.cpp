// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Each file's provenance, told from the note and the file's status where
// they agree, and from its content and what is kept of it where they do not.
// An object is read here only where contents must be compared, and an
// index, which the note names by its checksum, always; what the plan reads
// of a file, the run reads again to map it, one file at a time.

#include "planner.h"

#include "contenthash.h"
#include "databasemap.h"
#include "replytext.h"

#include <cerrno>

bool Planner::plan(const QList<ReplyFile> &files, int pathsIndex, bool withDatabase, Plan &plan)
{
    paths = pathsIndex;
    mayHaveUnkept = !(note.unkeptPaths - QSet<int> { paths }).isEmpty();
    // A note of the second format names kept files by their identity.
    if (note.database && !note.database->kept)
        note.database->kept = kept.checksum(KEPT_DATABASE_NAME, note.keptDatabaseIdentity);
    bool isReplyNew = false;
    qsizetype notedIndexes = 0;
    // Links from several reply names to one file map it through the first
    // of them: an index's name tells nothing of what it holds, and a
    // second name would map the file again.
    QSet<QByteArray> linkTargets;
    plan.objects.reserve(files.size());
    for (const ReplyFile &file : files) {
        Location location;
        const ReadResult located = layout.locate(file, location);
        if (located == ReadResult::Failed)
            return false;
        if (located == ReadResult::Skipped)
            continue;
        const QByteArray target = file.isSymLink ? ReplyLayout::targetKey(location) : QByteArray();
        if (!target.isEmpty() && linkTargets.contains(target))
            continue;
        linkTargets.insert(target);
        const bool isIndex = isIndexName(file.name);
        PlannedFile planned = isIndex ? planIndex(file, location) : planObject(file, location);
        if (planned.provenance == Provenance::NotRecoverable)
            return kept.refuse(report, file.name, ReplyLayout::replyPath(file.name), layout.afresh());
        isReplyNew = isReplyNew || (isIndex && planned.provenance == Provenance::AsCMakeWrote);
        (isIndex ? plan.indexes : plan.objects).append(std::move(planned));
        notedIndexes += isIndex && note.indexes.contains(file.name);
    }
    if (withDatabase && layout.databaseExists()) {
        plan.database = PlannedDatabase();
        if (!planDatabase(*plan.database))
            return false;
    }
    // An index noted that is gone was dropped by CMake with a reply it
    // wrote. Where the kept files are listed already, trimming them costs
    // nothing more.
    if (isReplyNew || notedIndexes < note.indexes.size() || kept.isListed()) {
        plan.keptToLeave.emplace();
        for (const ReplyFile &file : files)
            plan.keptToLeave->insert(file.name);
        if (!withDatabase || plan.database)
            plan.keptToLeave->insert(KEPT_DATABASE_NAME);
    }
    return true;
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
    // mapped on every run; and a first run, with no note and nothing kept,
    // plans from the names alone.
    const auto noted = note.objects.constFind(file.name);
    const ObjectEntry *const entry = noted != note.objects.cend() ? &*noted : nullptr;
    if (!planned.isNamed() || (!entry && !mayHaveUnkept && !kept.contains(file.name))
        || !readFileStatus(location.directory, location.name.constData(), planned.status))
        return planned;
    if (entry && entry->identity == planned.status.identity) {
        if (entry->isAsCMakeWrote) {
            planned.isUnchanged = isUnchangedHere(*entry);
            planned.provenance = planned.isUnchanged ? Provenance::MappedWithThesePaths : Provenance::AsCMakeWrote;
        } else if (entry->paths == paths) {
            planned.keptChecksum = entry->kept;
            planned.provenance = Provenance::MappedWithThesePaths;
        } else {
            planned.keptChecksum = kept.intactChecksum(file.name, entry->kept);
            planned.provenance = planned.keptChecksum ? Provenance::MappedWithOtherPaths : Provenance::NotRecoverable;
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
    QByteArray content;
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
    QByteArray content;
    QByteArray original;
    if (readFile(location.directory, location.name.constData(), content, status) != ReadResult::Read
        || kept.read(planned.file.name, original, keptStatus) != ReadResult::Read)
        return false;
    planned.status = status;
    planned.keptChecksum = checksumOf(original);
    if (content == original) {
        planned.provenance = Provenance::AsCMakeWrote;
    } else if (mapsTo(planned.file.name, original, content)) {
        planned.provenance = Provenance::MappedWithThesePaths;
    } else if (entry && entry->kept ? entry->kept == planned.keptChecksum : isAsNamed(planned.file.name, original)) {
        planned.provenance = Provenance::MappedWithOtherPaths;
    } else {
        planned.keptChecksum.reset();
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
    QByteArray content;
    QByteArray original;
    if (readFile(location.directory, location.name.constData(), content, planned.status) != ReadResult::Read)
        return planned;
    const quint64 checksum = checksumOf(content);
    const auto noted = note.indexes.find(file.name);
    // A note of the second format names an index by the SHA3-256 of what
    // this tool wrote, and what is kept of it by its identity.
    const auto hash = note.indexHashes.constFind(file.name);
    if (hash != note.indexHashes.cend() && noted != note.indexes.end()) {
        noted->mapped = contentHash(content) == *hash ? Checksum(checksum) : Checksum();
        noted->kept = kept.checksum(file.name, note.keptIndexIdentities.value(file.name));
    }
    FileStatus keptStatus;
    if (noted == note.indexes.end()) {
        // With the note gone, what is kept of an index is what CMake wrote:
        // it is kept by a copy, whole under its name before the index is
        // replaced.
        if (!kept.contains(file.name) || kept.read(file.name, original, keptStatus) != ReadResult::Read
            || original == content)
            return planned;
        planned.keptChecksum = checksumOf(original);
        const bool isMapped = mapsTo(file.name, original, content);
        planned.provenance = isMapped ? Provenance::MappedWithThesePaths : Provenance::MappedWithOtherPaths;
        planned.entry = IndexEntry { isMapped ? Checksum(checksum) : Checksum(), paths, planned.keptChecksum };
        return planned;
    }
    // CMake writes an index once, under a name of its own: where what is
    // kept of it is intact, that is what CMake wrote, whatever stands in the
    // reply now, mapped with other paths or left by a run that ended before
    // it could put its own version in place.
    const bool isOurs = noted->mapped == checksum;
    if (isOurs && noted->paths == paths) {
        planned.provenance = Provenance::MappedWithThesePaths;
    } else {
        planned.keptChecksum = noted->kept ? kept.intactChecksum(file.name, noted->kept) : Checksum();
        if (isOurs || planned.keptChecksum)
            planned.provenance = planned.keptChecksum ? Provenance::MappedWithOtherPaths : Provenance::NotRecoverable;
    }
    if (planned.provenance != Provenance::AsCMakeWrote)
        planned.entry = *noted;
    return planned;
}

// CMake writes the database anew under the same name on every configure
// that writes anything else, and names it by no hash, so the note tells
// whether this tool wrote it: by the identity of the version it left, or,
// for one copied or touched since, by its checksum, read through only
// where the size matches, which it rarely does for a database CMake has
// just written. With the note gone, what is kept of it tells.
bool Planner::planDatabase(PlannedDatabase &database)
{
    FileReader reader;
    const ReadResult opened = layout.openDatabase(reader, database.status);
    if (opened != ReadResult::Read)
        return opened != ReadResult::Failed;
    const FileIdentity &identity = database.status.identity;
    // Its checksum, read once, where a version of its size must be told.
    Checksum checksum;
    const auto readChecksum = [&] {
        quint64 sum = 0;
        if (!checksum && reader.rewind() && checksumOfRest(reader, sum))
            checksum = sum;
        return checksum || report.fail(DATABASE_PATH, "cannot read", errno);
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
        else if (noted.kept && kept.intactChecksum(KEPT_DATABASE_NAME, noted.kept))
            database.provenance = Provenance::MappedWithOtherPaths;
        else
            return kept.refuse(report, KEPT_DATABASE_NAME, DATABASE_PATH, layout.reconfigure());
        return true;
    }
    database.entry = noted;
    return true;
}

// Whether these rules map what CMake wrote to text.
bool Planner::mapsTo(const QByteArray &name, const QByteArray &originalText, const QByteArray &text) const
{
    QByteArray normalized = originalText;
    QByteArray mapped;
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
                                     RewriteCheck check)
{
    // The tool never writes a carriage return, and text it wrote holds no
    // match away from the paths it inserted: only a text that may be its
    // output is hashed. A rare file with a byte-order mark is hashed too.
    const QByteArrayView hash = hashInName(name);
    const bool mayBeOutput = !hash.isEmpty() && !(dropped & DroppedCarriageReturns)
            && ((dropped & DroppedByteOrderMark) || check != RewriteCheck::NotRewritten);
    return mayBeOutput && !contentHash(text, dropped & DroppedByteOrderMark).startsWith(hash)
            ? Provenance::MappedWithThesePaths
            : Provenance::AsCMakeWrote;
}
