// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Each file as its plan says: read once, mapped, written only where that
// changes it, and noted.

#include "replywriter.h"

#include "contenthash.h"
#include "databasemap.h"
#include "replytext.h"

#include <cerrno>

namespace {

constexpr char NOT_CACHE_REPLY[] = "not a cache reply: no JSON object of kind \"cache\" with an array of entries";

} // namespace

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
ReadResult ReplyWriter::read(const PlannedFile &planned, Location &location, FileStatus &status, QByteArray &text)
{
    ReplyFile file = planned.file;
    for (;;) {
        if (!layout.locate(file, location))
            return ReadResult::Skipped;
        const ReadResult result = readFile(location.directory, location.name.constData(), text, status);
        if (result == ReadResult::Read || result == ReadResult::Failed)
            return result;
        if (result != ReadResult::Link || file.isSymLink)
            return ReadResult::Skipped;
        file.isSymLink = true;
    }
}

// Into mapped, from text, which is normalized in place.
bool ReplyWriter::mapText(const QByteArray &name, QByteArray &text, unsigned &dropped, RewriteCheck *check,
                          bool &isUnchanged)
{
    if (!normalizeReplyText(text, dropped))
        return report.fail(ReplyLayout::replyPath(name), "not UTF-8 text");
    const TextMapping mapping = mapReplyText(rules, name, text, mapped, check);
    if (mapping == TextMapping::NotCacheReply)
        return report.fail(ReplyLayout::replyPath(name), NOT_CACHE_REPLY);
    isUnchanged = mapping == TextMapping::Unchanged;
    if (isUnchanged)
        mapped = text;
    return true;
}

bool ReplyWriter::mapObject(const PlannedFile &planned)
{
    const QByteArray &name = planned.file.name;
    if (planned.isKeptStale)
        kept.remove(name);
    if (planned.provenance == Provenance::MappedWithThesePaths) {
        note.objects.insert(name, { planned.status.identity, paths, planned.isAsCMakeWrote, planned.kept });
        return true;
    }
    Location location;
    FileStatus status;
    if (planned.provenance == Provenance::MappedWithOtherPaths) {
        Checksum keptChecksum;
        bool isDone = false;
        if (!layout.locate(planned.file, location))
            return true;
        if (!mapFromKept(planned, location, status, keptChecksum, isDone))
            return false;
        if (isDone) {
            note.objects.insert(name, { status.identity, paths, false, keptChecksum });
            return true;
        }
        PlannedFile remapped = planned;
        remapped.kept = keptChecksum;
        return writeObject(remapped, location, status, mapped, false, {});
    }
    const ReadResult result = read(planned, location, status, content);
    if (result != ReadResult::Read)
        return result != ReadResult::Failed || report.fail(ReplyLayout::replyPath(name), "cannot read", errno);
    const QByteArray original = content;
    unsigned dropped = 0;
    RewriteCheck check = RewriteCheck::MayBeRewritten;
    bool isUnchanged = false;
    if (!mapText(name, content, dropped, &check, isUnchanged))
        return false;
    const bool isNamed = !hashInName(name).isEmpty();
    if (planned.provenance == Provenance::Unrecorded
        && Planner::provenanceOfText(name, content, dropped, check, isUnchanged) == Provenance::MappedWithThesePaths) {
        // Mapped since, as a rule by a run whose note is gone, with nothing kept to tell.
        note.objects.insert(name, { status.identity, paths, false, {} });
        return true;
    }
    // What the rules leave as it is needs no writing. An object with nothing
    // that the rules match is noted as CMake wrote it, for any paths.
    if (isUnchanged && !dropped) {
        if (isNamed && check == RewriteCheck::NothingToRewrite)
            note.objects.insert(name, { status.identity, paths, true, {} });
        return true;
    }
    return writeObject(planned, location, status, mapped, isNamed && !planned.isKept, original);
}

// Reads what is kept of a file and maps it, and tells whether the file, at
// its location, holds that already: other paths may map it as these do.
bool ReplyWriter::mapFromKept(const PlannedFile &planned, const Location &location, FileStatus &status,
                              Checksum &keptChecksum, bool &isDone)
{
    const QByteArray &name = planned.file.name;
    FileStatus keptStatus;
    if (kept.read(name, content, keptStatus) != ReadResult::Read)
        return report.fail(ReplyLayout::replyPath(name), NOT_KEPT_REASON + report.afresh());
    keptChecksum = planned.kept ? planned.kept : Checksum(checksumOf(content));
    unsigned dropped = 0;
    bool isUnchanged = false;
    if (!mapText(name, content, dropped, nullptr, isUnchanged))
        return false;
    status = planned.status;
    isDone = mapped.size() == status.identity.size
            && readFile(location.directory, location.name.constData(), content, status) == ReadResult::Read
            && content == mapped;
    return true;
}

bool ReplyWriter::writeObject(const PlannedFile &planned, const Location &location, const FileStatus &status,
                              const QByteArray &text, bool keepOriginal, const QByteArray &original)
{
    const QByteArray &name = planned.file.name;
    KeptVersion version;
    const bool mayKeep = keepOriginal && kept.prepare(name, status.identity.device, version);
    FileIdentity identity;
    if ((keepOriginal && !mayKeep && !noteUnkept())
        || !replace(name, location, status, text, &identity, mayKeep ? &version : nullptr, keepOriginal))
        return false;
    if (!hashInName(name).isEmpty()) {
        const Checksum keptChecksum = version.isKept ? Checksum(checksumOf(original))
                : planned.isKept                     ? planned.kept
                                                     : Checksum();
        note.objects.insert(name, { identity, paths, false, keptChecksum });
    }
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

bool ReplyWriter::mapIndex(const PlannedFile &planned)
{
    const QByteArray &name = planned.file.name;
    // Its entry stands in the note since begin().
    if (planned.provenance == Provenance::MappedWithThesePaths)
        return true;
    Location location;
    FileStatus status;
    KeptVersion version;
    if (planned.provenance == Provenance::MappedWithOtherPaths) {
        Checksum keptChecksum;
        bool isDone = false;
        if (!layout.locate(planned.file, location))
            return true;
        if (!mapFromKept(planned, location, status, keptChecksum, isDone))
            return false;
        note.indexes.insert(name, { checksumOf(mapped), paths, keptChecksum });
        if (isDone)
            return true;
    } else {
        const ReadResult result = read(planned, location, status, content);
        if (result != ReadResult::Read)
            return result != ReadResult::Failed || report.fail(ReplyLayout::replyPath(name), "cannot read", errno);
        const QByteArray original = content;
        unsigned dropped = 0;
        bool isUnchanged = false;
        if (!mapText(name, content, dropped, nullptr, isUnchanged))
            return false;
        if (isUnchanged && !dropped)
            return true;
        // A run whose note is gone takes what is kept of an index on trust,
        // so it is named only once it holds what CMake wrote.
        const bool mayKeep = kept.prepare(name, status.identity.device, version);
        version.isNamedOnceKept = true;
        note.indexes.insert(name, { checksumOf(mapped), paths, mayKeep ? Checksum(checksumOf(original)) : Checksum() });
    }
    // Noted before it is written: a run that ends in between leaves a note
    // that does not match the index, which the next run then maps.
    const bool mayKeep = version.directory >= 0;
    if (!saveNote() || !replace(name, location, status, mapped, nullptr, mayKeep ? &version : nullptr, false))
        return false;
    if (mayKeep && !version.isKept)
        note.indexes[name].kept.reset();
    return true;
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
