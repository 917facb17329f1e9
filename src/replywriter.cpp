// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Each file as its plan says: read once, mapped, written only where that
// changes it, and noted.

#include "replywriter.h"

#include "contenthash.h"
#include "databasemap.h"
#include "replytext.h"

#include <cerrno>

ReplyWriter::ReplyWriter(const MappingNote &previous, const QByteArray &savedNote, int paths, const PathRules &rules,
                         ReplyLayout &layout, KeptOriginals &kept, RunReport &report)
    : previous(previous), savedNote(savedNote), paths(paths), rules(rules), layout(layout), kept(kept), report(report)
{
}

void ReplyWriter::begin(const Plan &plan)
{
    note.paths = previous.paths;
    note.unkeptPaths = previous.unkeptPaths;
    // A run without the database leaves its entry as it is.
    note.database = plan.database ? plan.database->entry : previous.database;
    for (const PlannedFile &index : plan.indexes) {
        if (index.entry)
            note.indexes.insert(index.file.name, *index.entry);
    }
}

// A file made a link since it was planned is followed, while it stays inside.
ReadResult ReplyWriter::read(const PlannedFile &planned, Location &location, FileStatus &status)
{
    ReplyFile file = planned.file;
    for (;;) {
        if (!layout.locate(file, location))
            return ReadResult::Skipped;
        const ReadResult result = readFile(location.directory, location.name.constData(), content, status);
        if (result == ReadResult::Read || result == ReadResult::Failed)
            return result;
        if (result != ReadResult::Link || file.isSymLink)
            return ReadResult::Skipped;
        file.isSymLink = true;
    }
}

// Maps what CMake wrote of a reply file: the file itself, or what is kept of it.
bool ReplyWriter::mapFile(const PlannedFile &planned)
{
    const QByteArray &name = planned.file.name;
    const bool isIndex = isIndexName(name);
    if (planned.provenance == Provenance::MappedWithThesePaths) {
        // An index's entry stands in the note since begin().
        if (!isIndex)
            note.objects.insert(name, { planned.status.identity, paths, planned.isAsCMakeWrote, planned.kept });
        return true;
    }
    const QByteArray path = ReplyLayout::replyPath(name);
    const bool isNamed = !hashInName(name).isEmpty();
    if (planned.isKeptStale)
        kept.remove(name);
    const bool isFromKept = planned.provenance == Provenance::MappedWithOtherPaths;
    Location location;
    FileStatus status = planned.status;
    FileStatus keptStatus;
    const ReadResult result = isFromKept ? kept.read(name, content, keptStatus) : read(planned, location, status);
    if (isFromKept && result != ReadResult::Read)
        return report.fail(path, NOT_KEPT_REASON + report.afresh());
    if (result != ReadResult::Read || (isFromKept && !layout.locate(planned.file, location)))
        return result != ReadResult::Failed || report.fail(path, "cannot read", errno);
    const QByteArray original = content;
    unsigned dropped = 0;
    RewriteCheck check = RewriteCheck::MayBeRewritten;
    if (!normalizeReplyText(content, dropped))
        return report.fail(path, "not UTF-8 text");
    const TextMapping mapping = mapReplyText(rules, name, content, mapped, &check);
    if (mapping == TextMapping::NotCacheReply)
        return report.fail(path, "not a cache reply: no JSON object of kind \"cache\" with an array of entries");
    const bool isUnchanged = mapping == TextMapping::Unchanged;
    const QByteArray &text = isUnchanged ? content : mapped;
    Checksum keptChecksum = planned.isKept ? planned.kept : Checksum();
    if (isFromKept) {
        keptChecksum = planned.kept ? planned.kept : Checksum(checksumOf(original));
        // Other paths may map it as these do.
        QByteArray current;
        if (text.size() == status.identity.size
            && readFile(location.directory, location.name.constData(), current, status) == ReadResult::Read
            && current == text) {
            if (isIndex)
                note.indexes.insert(name, { checksumOf(text), paths, keptChecksum });
            else
                note.objects.insert(name, { status.identity, paths, false, keptChecksum });
            return true;
        }
    } else if (planned.provenance == Provenance::Unrecorded
               && Planner::provenanceOfText(name, content, dropped, check, isUnchanged)
                       == Provenance::MappedWithThesePaths) {
        // Mapped since, as a rule by a run whose note is gone, with nothing kept to tell.
        note.objects.insert(name, { status.identity, paths, false, {} });
        return true;
    } else if (isUnchanged && !dropped) {
        // An object the rules leave as it is is noted as CMake wrote it.
        if (!isIndex && isNamed && check == RewriteCheck::NothingToRewrite)
            note.objects.insert(name, { status.identity, paths, true, {} });
        return true;
    }
    // What CMake wrote is kept where nothing intact is kept of it yet. A run
    // whose note is gone takes what is kept of an index on trust, so it is
    // named only once it holds what CMake wrote.
    const bool keepOriginal = !isFromKept && !planned.isKept && (isIndex || isNamed);
    KeptVersion version;
    const bool mayKeep = keepOriginal && kept.prepare(name, status.identity.device, version);
    version.isNamedOnceKept = isIndex;
    if (mayKeep)
        keptChecksum = checksumOf(original);
    // An index is noted before it is written: a run that ends in between
    // leaves a note that does not match it, and the next run maps it.
    if (isIndex) {
        note.indexes.insert(name, { checksumOf(text), paths, keptChecksum });
        if (!saveNote())
            return false;
    } else if (keepOriginal && !mayKeep && !noteUnkept()) {
        return false;
    }
    FileIdentity identity;
    if (!replace(name, location, status, text, &identity, mayKeep ? &version : nullptr, !isIndex && keepOriginal))
        return false;
    if (mayKeep && !version.isKept)
        keptChecksum.reset();
    if (isIndex)
        note.indexes[name].kept = keptChecksum;
    else if (isNamed)
        note.objects.insert(name, { identity, paths, false, keptChecksum });
    return true;
}

// Puts text in place of a reply file, and where version is given, keeps
// what it replaces. Where that is not kept after all (a file system that
// cannot exchange names, a reply directory that can only be written in
// place), the file is replaced as it is otherwise: an object only after the
// note says that one may stand mapped with these paths, unkept.
bool ReplyWriter::replace(const QByteArray &name, const Location &location, const FileStatus &status,
                          const QByteArray &text, FileIdentity *written, KeptVersion *version, bool isObject)
{
    if (version && replaceFileContent(location.directory, location.name, status, text, written, version)) {
        kept.add(*version);
        return true;
    }
    if (version && isObject && !noteUnkept())
        return false;
    if (replaceFileContent(location.directory, location.name, status, text, written))
        return true;
    return errno == EMLINK ? report.fail(ReplyLayout::replyPath(name), "cannot write in place, as it has other hard links")
                           : report.fail(ReplyLayout::replyPath(name), "cannot write", errno, location.directory);
}

// Before an object is replaced with nothing kept of what CMake wrote: a run
// that ends before its note names the object leaves it mapped with these
// paths, and only this entry tells a later run with other paths to look.
bool ReplyWriter::noteUnkept()
{
    if (note.unkeptPaths.contains(paths))
        return true;
    note.unkeptPaths.insert(paths);
    return saveNote();
}

bool ReplyWriter::mapDatabase(const PlannedDatabase &planned)
{
    const int directory = layout.databaseDirectory();
    FileReader reader;
    FileStatus status;
    const ReadResult opened = reader.open(directory, layout.databaseName().constData(), status);
    if (opened == ReadResult::Failed)
        return report.fail(DATABASE_PATH, "cannot read", errno);
    if (opened == ReadResult::Link)
        report.warn(DATABASE_PATH, "skipped: it became a link while the run went on");
    if (opened != ReadResult::Read)
        return true;
    if (planned.provenance == Provenance::MappedWithThesePaths) {
        note.database = DatabaseEntry { planned.entry->checksum, status.identity, paths, planned.entry->kept, NoPaths, 0, {} };
        return true;
    }
    // From what CMake wrote: the database, or what is kept of it.
    const bool isFromKept = planned.provenance == Provenance::MappedWithOtherPaths;
    FileReader keptReader;
    FileStatus keptStatus;
    if (isFromKept && kept.open(KEPT_DATABASE_NAME, keptReader, keptStatus) != ReadResult::Read)
        return report.fail(DATABASE_PATH, "cannot read what CMake wrote, kept", errno);
    FileReader &source = isFromKept ? keptReader : reader;
    // Its owner and mode are kept, or the run fails: the database is never
    // rewritten in place. Where no version can be made that keeps what CMake
    // wrote, it is replaced as it is otherwise.
    for (const bool mayKeep : { !isFromKept, false }) {
        KeptVersion version;
        const bool isKeeping = mayKeep && layout.fileApiDirectory(true) >= 0
                && kept.prepare(KEPT_DATABASE_NAME, status.identity.device, version);
        FileReplacement replacement;
        const DatabaseTarget target { directory, layout.databaseName(), status, isKeeping ? &version : nullptr };
        DatabaseMapping mapping;
        if (!source.rewind())
            return report.fail(DATABASE_PATH, "cannot read", errno);
        switch (::mapDatabase(rules, source, &target, replacement, mapping)) {
        case DatabaseMapping::Done:
            break;
        case DatabaseMapping::NotUtf8:
            return report.fail(DATABASE_PATH, "not UTF-8 text");
        case DatabaseMapping::ReadFailed:
            return report.fail(DATABASE_PATH, "cannot read", errno);
        case DatabaseMapping::StartFailed:
            if (isKeeping)
                continue;
            [[fallthrough]];
        case DatabaseMapping::WriteFailed:
            return report.fail(DATABASE_PATH, "cannot write", errno, directory);
        }
        if (!mapping.isChanged)
            return true;
        // Noted before it is in place, with what it keeps: a run that ends
        // in between leaves a note that names no file there, and the next
        // run maps the database.
        FileIdentity identity;
        if (!replacement.readIdentity(identity))
            return report.fail(DATABASE_PATH, "cannot write", errno);
        note.database = DatabaseEntry { mapping.checksum, identity, paths,
                                        isFromKept ? planned.entry->kept
                                                   : isKeeping ? Checksum(mapping.sourceChecksum) : Checksum(),
                                        NoPaths, 0, {} };
        if (isFromKept) {
            note.database->replacedPaths = planned.entry->paths;
            note.database->replacedChecksum = planned.entry->checksum;
            note.database->replaced = status.identity;
        }
        if (!saveNote())
            return false;
        if (!replacement.commit()) {
            if (isKeeping)
                continue;
            return report.fail(DATABASE_PATH, "cannot write", errno);
        }
        kept.add(version);
        if (isKeeping && !version.isKept)
            note.database->kept.reset();
        note.database->replacedPaths = NoPaths;
        note.database->replacedChecksum = 0;
        note.database->replaced = FileIdentity();
        return true;
    }
    return report.fail(DATABASE_PATH, "cannot write", errno);
}

void ReplyWriter::end()
{
    note.unkeptPaths.clear();
    saveNote();
}

bool ReplyWriter::saveNote()
{
    const QByteArray text = note.toText();
    if (text == savedNote)
        return true;
    const int directory = layout.fileApiDirectory(true);
    if (directory < 0)
        return false;
    if (!writeOwnFile(directory, NOTE_NAME, text))
        return report.fail(ReplyLayout::fileApiPath(NOTE_NAME), "cannot write", errno, directory);
    savedNote = text;
    return true;
}
