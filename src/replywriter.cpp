// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Each file as its plan says: mapped, written where that changes it, noted.

#include "replywriter.h"

#include "contenthash.h"
#include "databasemap.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

ReplyWriter::ReplyWriter(const MappingNote &previous, const Plan &plan, const QByteArray &savedNote, int paths,
                         const PathRules &rules, BuildDirectory &directory, KeptStore &kept, RunReport &report,
                         RunSummary &summary)
    : savedNote(savedNote), paths(paths), rules(rules), directory(directory), kept(kept), report(report),
      summary(summary)
{
    note.paths = previous.paths;
    note.unkeptPaths = previous.unkeptPaths;
    // A run without the database leaves its entry as it is.
    note.database = plan.database ? plan.database->entry : previous.database;
    for (const PlannedFile &index : plan.indexes) {
        if (index.entry)
            note.indexes.insert(index.name, *index.entry);
    }
}

bool ReplyWriter::mapFile(const PlannedFile &planned)
{
    const QByteArray &name = planned.name;
    if (planned.provenance == Provenance::MappedWithThesePaths) {
        // An index's entry stands in the note from the start.
        if (planned.isIndex())
            summary.left.insert(name, planned.status.identity);
        else
            note.objects.insert(name, { planned.status.identity, paths, planned.isUnchanged, planned.keptChecksum });
        return true;
    }
    if (planned.isKeptStale)
        kept.removeKept(name);
    FileStatus status = planned.status;
    MappedText &text = buffers;
    text.content.clear();
    const ReadResult read = readOriginal(planned, status, text.original);
    if (read != ReadResult::Read)
        return read != ReadResult::Failed;
    const QByteArray path = replyPath(name);
    text.content = text.original;
    if (!normalizeReplyText(text.content, text.dropped))
        return report.fail(path, "not UTF-8 text");
    text.mapping = mapReplyText(rules, name, text.content, text.mapped, &text.check);
    if (text.mapping == TextMapping::NotCacheReply)
        return report.fail(path, "not a cache reply: no JSON object of kind \"cache\" with an array of entries");
    if (!isLeftAsItIs(planned, status, text))
        return writeMapped(planned, status, text);
    if (planned.isIndex())
        summary.left.insert(name, status.identity);
    return true;
}

// What CMake wrote: the file itself, or what is kept of it. Failed is said.
ReadResult ReplyWriter::readOriginal(const PlannedFile &planned, FileStatus &status, QByteArray &original)
{
    const QByteArray path = replyPath(planned.name);
    if (planned.provenance == Provenance::MappedWithOtherPaths) {
        return kept.readKept(planned.name, original) == ReadResult::Read
                        || kept.refuse(report, planned.name, path, report.afresh())
                ? ReadResult::Read
                : ReadResult::Failed;
    }
    const ReadResult read = directory.readReplyFile(planned.name, original, status);
    if (read == ReadResult::Failed)
        report.fail(path, "cannot read", errno);
    return read;
}

// Where the file needs no new version, notes it as it stands.
bool ReplyWriter::isLeftAsItIs(const PlannedFile &planned, FileStatus &status, const MappedText &text)
{
    const QByteArray &name = planned.name;
    if (planned.provenance == Provenance::MappedWithOtherPaths) {
        // Other paths may map it as these do.
        QByteArray current;
        if (text.text().size() != status.identity.size
            || directory.readReplyFile(name, current, status) != ReadResult::Read
            || current != text.text())
            return false;
        if (planned.isIndex())
            note.indexes.insert(name, { checksumOf(current), paths, planned.keptChecksum });
        else
            note.objects.insert(name, { status.identity, paths, false, planned.keptChecksum });
        return true;
    }
    if (planned.provenance == Provenance::Unrecorded && isToolOutput(name, text.content, text.dropped, text.check)) {
        note.objects.insert(name, { status.identity, paths, false, {} });
        return true;
    }
    if (text.mapping != TextMapping::Unchanged || text.dropped)
        return false;
    // An object the rules leave as it is is noted as CMake wrote it.
    if (!planned.isIndex() && text.check == RewriteCheck::NothingToRewrite)
        note.objects.insert(name, { status.identity, paths, true, {} });
    return true;
}

// A run whose note is gone takes what is kept of an index on trust, so an
// index is kept by a copy, whole before it is replaced, never by an
// exchange, which leaves it under another name for a moment.
bool ReplyWriter::writeMapped(const PlannedFile &planned, const FileStatus &status, const MappedText &text)
{
    const QByteArray &name = planned.name;
    const bool isToKeep = planned.isToKeep();
    KeptVersion version;
    const bool isExchanged = isToKeep && !planned.isIndex() && kept.keptVersionFor(name, status.identity.device, version);
    Checksum keptChecksum = planned.keptChecksum;
    if ((isToKeep && planned.isIndex()) || isExchanged)
        keptChecksum = checksumOf(text.original);
    // Noted first: a run that ends in between leaves a note that does not match.
    if (planned.isIndex()) {
        note.indexes.insert(name, { checksumOf(text.text()), paths, keptChecksum });
        if (!saveNote())
            return false;
        if (isToKeep && !kept.storeKept(name, text.original))
            keptChecksum.reset();
    }
    FileIdentity identity;
    const Outcome outcome = putInPlace(name, status, text.text(), &identity, isExchanged ? &version : nullptr,
                                       !planned.isIndex() && isToKeep);
    if (outcome == Outcome::Gone)
        note.indexes.remove(name);
    if (outcome != Outcome::Written)
        return outcome == Outcome::Gone;
    if (isExchanged && !version.isKept)
        keptChecksum.reset();
    ++summary.replyFiles;
    if (planned.isIndex()) {
        note.indexes[name].kept = keptChecksum;
        summary.left.insert(name, identity);
    } else {
        note.objects.insert(name, { identity, paths, false, keptChecksum });
    }
    return true;
}

// Where what is replaced cannot be kept after all, the file is replaced as
// it is otherwise: an object only once the note says that one may stand
// mapped with these paths, unkept. One that CMake removed meanwhile is left gone.
ReplyWriter::Outcome ReplyWriter::putInPlace(const QByteArray &name, const FileStatus &status, const QByteArray &text,
                                             FileIdentity *written, KeptVersion *version, bool isObject)
{
    const int reply = directory.replyDirectory();
    struct stat gone;
    const auto isGone = [&] { return errno == ENOENT && fstatat(reply, name.constData(), &gone, AT_SYMLINK_NOFOLLOW) != 0; };
    if (version && replaceFileContent(reply, name, status, text, written, version)) {
        kept.addKept(*version);
        return Outcome::Written;
    }
    if (version && isGone())
        return removedMeanwhile(replyPath(name));
    if (isObject && !note.unkeptPaths.contains(paths)) {
        note.unkeptPaths.insert(paths);
        if (!saveNote())
            return Outcome::Failed;
    }
    if (replaceFileContent(reply, name, status, text, written))
        return Outcome::Written;
    if (isGone())
        return removedMeanwhile(replyPath(name));
    report.fail(replyPath(name), "cannot write", errno, reply);
    return Outcome::Failed;
}

ReplyWriter::Outcome ReplyWriter::removedMeanwhile(const QByteArray &path)
{
    report.raced(path, "skipped: it was removed while the run went on");
    return Outcome::Gone;
}

bool ReplyWriter::mapDatabaseFile(PlannedDatabase &planned)
{
    FileReader &reader = planned.reader;
    const FileStatus &status = planned.status;
    summary.left.insert(DATABASE_PATH, status.identity);
    if (planned.provenance == Provenance::MappedWithThesePaths) {
        note.database = DatabaseEntry { { planned.entry->version.checksum, status.identity, paths }, planned.entry->kept, {} };
        return true;
    }
    const bool isFromKept = planned.provenance == Provenance::MappedWithOtherPaths;
    FileReader keptReader;
    if (isFromKept && kept.openKept(KEPT_DATABASE_NAME, keptReader) != ReadResult::Read)
        return report.fail(DATABASE_PATH, "cannot read what CMake wrote, kept", errno);
    FileReader &source = isFromKept ? keptReader : reader;
    Outcome outcome = isFromKept ? Outcome::NotKept : writeDatabaseVersion(planned, source, reader, status, true);
    if (outcome == Outcome::NotKept)
        outcome = writeDatabaseVersion(planned, source, reader, status, false);
    return outcome == Outcome::Written;
}

// Its owner and mode are kept, or the run fails: the database is never
// rewritten in place.
ReplyWriter::Outcome ReplyWriter::writeDatabaseVersion(const PlannedDatabase &planned, FileReader &source,
                                                       const FileReader &current, const FileStatus &status, bool mayKeep)
{
    const int databaseDirectory = directory.databaseDirectory();
    const bool isFromKept = planned.provenance == Provenance::MappedWithOtherPaths;
    KeptVersion version;
    const bool isKeeping = mayKeep && kept.keptVersionFor(KEPT_DATABASE_NAME, status.identity.device, version);
    FileReplacement replacement;
    // Mapped from what is kept, it is compared with what stands.
    const DatabaseTarget target { databaseDirectory, directory.databaseName(), status, isKeeping ? &version : nullptr,
                                  isFromKept ? current.openFd() : -1 };
    DatabaseMapping mapping;
    const auto failed = [&](QByteArrayView reason, int error = 0, int directoryFd = -1) {
        report.fail(DATABASE_PATH, reason, error, directoryFd);
        return Outcome::Failed;
    };
    if (!source.seekToStart())
        return failed("cannot read", errno);
    switch (::mapDatabase(rules, source, &target, replacement, mapping)) {
    case DatabaseMapping::Done:
        break;
    case DatabaseMapping::NotUtf8:
        return failed("not UTF-8 text");
    case DatabaseMapping::ReadFailed:
        return failed("cannot read", errno);
    case DatabaseMapping::StartFailed:
        if (isKeeping)
            return Outcome::NotKept;
        [[fallthrough]];
    case DatabaseMapping::WriteFailed:
        return failed("cannot write", errno, databaseDirectory);
    }
    if (!mapping.isChanged) {
        if (isFromKept)
            note.database = DatabaseEntry { { mapping.checksum, status.identity, paths }, planned.entry->kept, {} };
        return Outcome::Written;
    }
    // Noted before it is in place: a run that ends in between leaves a note
    // that names no file there.
    FileIdentity identity;
    if (!replacement.readIdentity(identity))
        return failed("cannot write", errno);
    const Checksum keptChecksum = isFromKept ? planned.entry->kept
            : isKeeping                      ? Checksum(mapping.sourceChecksum)
                                             : Checksum();
    note.database = DatabaseEntry { { mapping.checksum, identity, paths }, keptChecksum, {} };
    if (isFromKept)
        note.database->replaced = DatabaseVersion { planned.entry->version.checksum, status.identity,
                                                    planned.entry->version.paths };
    if (!saveNote())
        return Outcome::Failed;
    // CMake may write it again while the run goes on: then that version stays.
    const bool isCommitted = replacement.commit(&status.identity);
    if (!isCommitted && (errno == ESTALE || errno == ENOENT)) {
        if (errno == ESTALE)
            report.raced(DATABASE_PATH, "skipped: it was written again while the run went on");
        else
            removedMeanwhile(DATABASE_PATH);
        if (isKeeping)
            kept.removeKept(KEPT_DATABASE_NAME);
        return Outcome::Written;
    }
    if (!isCommitted)
        return isKeeping ? Outcome::NotKept : failed("cannot write", errno);
    kept.addKept(version);
    summary.isDatabaseMapped = true;
    summary.left.insert(DATABASE_PATH, identity);
    if (isKeeping && !version.isKept)
        note.database->kept.reset();
    note.database->replaced.reset();
    return Outcome::Written;
}

void ReplyWriter::endNote()
{
    note.unkeptPaths.clear();
    if (!saveNote())
        report.clear();
}

bool ReplyWriter::saveNote()
{
    const QByteArray text = note.toText();
    if (text == savedNote)
        return true;
    if (!directory.writeNote(text))
        return false;
    savedNote = text;
    return true;
}
