// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The walk over a reply and what each file gets: mapped from what CMake
// wrote, left as it is because it is mapped with these paths already, or
// mapped again from the copy kept of what CMake wrote.

#include "cmakeapimapper.h"

#include "runlock.h"

#include <QtCore/QByteArrayView>
#include <QtCore/QFile>
#include <QtCore/QList>

#include <cerrno>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Beside the reply, not in it: when CMake writes a reply it deletes every
// other file of the reply directory, and the objects it keeps are the ones
// a note spares the next run from hashing. Every entry is checked against
// the file it names, so a note may outlive what it speaks of.
constexpr char MAPPING_NOTE_NAME[] = ".dorvane-mapped-files";

// Whether a reply object may hold what this tool wrote with these paths, so
// that only its hash can tell. The tool never writes a carriage return, and
// reply text it wrote holds no match away from the paths it inserted. A rare
// file with a byte-order mark is hashed whenever it would change.
bool mayHoldMappedText(unsigned dropped, RewriteCheck check)
{
    if (dropped & DroppedCarriageReturns)
        return false;
    return (dropped & DroppedByteOrderMark) || check != RewriteCheck::NotRewritten;
}

bool isIndexName(const QByteArray &name)
{
    return name.startsWith("index-");
}

} // namespace

CmakeApiMapper::CmakeApiMapper(const QString &sysrootPath, const QString &workspacePath)
    : sysrootPath(sysrootPath),
      workspacePath(workspacePath),
      jsonSysrootPath(jsonEscaped(sysrootPath)),
      jsonWorkspacePath(jsonEscaped(workspacePath))
{
}

bool CmakeApiMapper::openBuildDirectory()
{
    if (buildDirectoryState == Resolution::Missing)
        buildDirectoryState = buildDirectory.open(".") ? Resolution::Found : Resolution::Failed;
    return buildDirectoryState == Resolution::Found;
}

void CmakeApiMapper::requestCompileCommands()
{
    isCompileCommandsRequested = true;
}

void CmakeApiMapper::setLockWait(int milliseconds)
{
    lockWaitMilliseconds = milliseconds;
}

bool CmakeApiMapper::DoCMakeApiPathMapping()
{
    if (!openBuildDirectory())
        return fail({}, "cannot enter", errno);
    // One run at a time: a run that read the note while another was mapping
    // would map again what the other maps. The lock is on the build
    // directory the run holds open, and is taken before anything is read.
    RunLock lock;
    const RunLock::Result locked = lock.lock(buildDirectory.fd(), lockWaitMilliseconds);
    if (locked == RunLock::Busy)
        return fail({}, "another run held the build directory for the whole wait of "
                            + QByteArray::number(lockWaitMilliseconds / 1000.0) + " s");

    // A reply, or the directories above it, that leads out of the build
    // directory fails the run before anything is read or written.
    const bool hasReply = isReplyExist();
    if (!checkReplyDirectory() || (!openApiDirectory(false) && !failure.isEmpty()))
        return false;
    // Without a reply, only the compilation database is mapped, and the query
    // directory is left for the configure that will answer it.
    QList<ReplyFile> files;
    if (replyState == Resolution::Found && !listReplyFiles(replyDirectory.get(), files))
        return fail(apiFilePath("reply"), "cannot read", errno);
    loadNote(files);
    // Nothing is written before it is certain that every file that was
    // mapped with other paths can be mapped again from what CMake wrote.
    const bool isDatabaseMapped = isCompileCommandsRequested && isCompileCommandsExist();
    if (!checkPathsChange(files) || !checkUnkept(files) || (isDatabaseMapped && !checkDatabase()) || !checkWorkspace())
        return false;
    if (locked == RunLock::Locked) {
        // No other run is writing now, so what is named as its temporary
        // files was left by a run that was killed.
        for (const FileDescriptor *directory : { &replyDirectory, &apiDirectory })
            removeLeftoverTemporaryFiles(directory->get());
        removeLeftoverTemporaryFiles(buildDirectory.fd());
        kept.removeLeftovers();
    }
    removeTemporaryFilesOnSignal();

    // The objects, then the database, then the index files: a reader that
    // finds a new index can trust that the objects it names, and the
    // database, are already rewritten.
    for (const ReplyFile &file : std::as_const(files)) {
        if (!isIndexName(file.name) && !doCMakeApiReplyPathMapping(file))
            return false;
    }
    if (isDatabaseMapped && !mapCompileCommands())
        return false;
    for (const ReplyFile &file : std::as_const(files)) {
        if (isIndexName(file.name) && !doCMakeApiReplyPathMapping(file))
            return false;
    }
    // What CMake no longer keeps is given back: CMake drops files only
    // when it writes a new reply.
    if (isReplyNew || kept.isListed()) {
        QSet<QByteArray> names;
        for (const ReplyFile &file : std::as_const(files))
            names.insert(file.name);
        if (!isCompileCommandsRequested || hasDatabase)
            names.insert(KEPT_DATABASE_NAME);
        kept.removeAllBut(names);
    }
    // The entries of the index files and the database were saved before they
    // were written. The rest only spares the next run reading mapped
    // objects, so a note that cannot be saved now fails nothing. Every
    // object is now noted, or what CMake wrote of it kept.
    note.unkeptPaths.clear();
    saveNote();
    failure.clear();
    QByteArray failedPath;
    if (hasReply && isQueryExist() && !removeTree(apiDirectory.get(), "query", failedPath))
        return fail(apiFilePath(failedPath), "cannot remove", errno);
    return true;
}

// Where the files an older note names are taken to be mapped with these
// paths, one of them at least holds the workspace path given: a reply names
// the workspace in many places. Where none does, the tool cannot tell these
// paths from another workspace path.
bool CmakeApiMapper::checkWorkspace()
{
    return !isAnyTakenAsMapped || isWorkspaceSeen
            || fail(apiFilePath(MAPPING_NOTE_NAME), "an older note, which names no paths, and the files it names hold no "
                                       "workspace path given: remove .cmake/api/v1/reply and configure again");
}

// CMake keeps a reply object whose name it would give again as it is, so
// after a new configure a reply holds objects this tool has mapped beside
// new ones; an object is mapped only from what CMake wrote.
bool CmakeApiMapper::doCMakeApiReplyPathMapping(const ReplyFile &file)
{
    const QByteArray filePath = replyFilePath(file.name);
    Location location;
    if (!locate(file.name, file.isSymLink, location))
        return true;
    if (isIndexName(file.name))
        return mapIndex(filePath, file.name, location);
    const QByteArrayView nameHash = contentHashInName(file.name);
    FileStatus status;
    const auto noted = previousNote.objects.constFind(file.name);
    if (!nameHash.isEmpty() && noted != previousNote.objects.cend()
        && readFileStatus(location.directory, location.name.constData(), status) && noted->identity == status.identity) {
        if (noted->paths == AnyPaths) {
            note.objects.insert(file.name, *noted);
            return true;
        }
        if (noted->paths != paths && !acceptedAsMapped.contains(file.name))
            return mapObjectAgain(filePath, file.name, location, status);
        note.objects.insert(file.name, { status.identity, paths });
        return true;
    }

    const ReadResult read = readReplyFile(location.directory, location.name.constData(), fileContent, status);
    if (read == ReadResult::Link && !file.isSymLink)
        return doCMakeApiReplyPathMapping({ file.name, true }); // made a link since it was listed
    if (read == ReadResult::Failed)
        return fail(filePath, "cannot read", errno);
    if (read != ReadResult::Read)
        return true;
    unsigned dropped = 0;
    const QByteArray *mapped = nullptr;
    RewriteCheck check = RewriteCheck::MayBeRewritten;
    if (!mapContent(filePath, file.name, fileContent, dropped, mapped, rewrittenContent, &check))
        return false;
    // What the rules leave as it is needs no writing, whoever wrote it. An
    // object as CMake wrote it that holds nothing any paths would map is
    // noted for any paths, and needs no reading again.
    const bool isLeft = !dropped && *mapped == fileContent;
    if (isLeft && (nameHash.isEmpty() || contentHash(fileContent).startsWith(nameHash))) {
        if (!nameHash.isEmpty() && check == RewriteCheck::NothingToRewrite)
            note.objects.insert(file.name, { status.identity, AnyPaths });
        return true;
    }
    // One that the note does not name as it stands may have been mapped
    // since, by a run that was killed or whose note is gone; not one with
    // carriage returns or a byte-order mark, which no run writes.
    bool isAsKept = false;
    bool isDone = false;
    if (!nameHash.isEmpty() && !dropped && !compareWithKept(filePath, file.name, location, status, isAsKept, isDone))
        return false;
    if (isDone)
        return true;
    if (isLeft) {
        // Mapped since, with nothing kept to tell: as a rule by a run whose note is gone.
        note.objects.insert(file.name, { status.identity, paths });
        return true;
    }
    if (!isAsKept && !nameHash.isEmpty() && mayHoldMappedText(dropped, check)
        && !contentHash(fileContent, dropped).startsWith(nameHash)) {
        // Rewritten since CMake wrote it, as a rule by a run whose note names no paths.
        note.objects.insert(file.name, { status.identity, paths });
        return true;
    }
    return writeObject(filePath, file.name, location, status, *mapped, !nameHash.isEmpty() && !isAsKept);
}

bool CmakeApiMapper::writeObject(const QByteArray &filePath, const QByteArray &name, const Location &location,
                                 const FileStatus &status, const QByteArray &content, bool keepOriginal)
{
    KeptVersion version;
    const bool mayKeep = keepOriginal && kept.prepare(name, status.identity.device, version);
    FileIdentity identity;
    if ((keepOriginal && !mayKeep && !noteUnkept())
        || !replace(filePath, location, status, content, &identity, mayKeep ? &version : nullptr, keepOriginal))
        return false;
    if (!contentHashInName(name).isEmpty())
        note.objects.insert(name, { identity, paths });
    return true;
}

// Index files are named by time and written anew on every configure: the
// note names each this tool wrote by the hash of what it wrote.
bool CmakeApiMapper::mapIndex(const QByteArray &filePath, const QByteArray &name, const Location &location)
{
    FileStatus status;
    const ReadResult read = readReplyFile(location.directory, location.name.constData(), fileContent, status);
    if (read == ReadResult::Failed)
        return fail(filePath, "cannot read", errno);
    if (read != ReadResult::Read)
        return true;
    const QByteArray hash = contentHash(fileContent);
    const auto noted = previousNote.indexes.constFind(name);
    const bool isNoted = noted != previousNote.indexes.cend();
    if (isNoted && noted->mappedHash == hash && (noted->paths == paths || acceptedAsMapped.contains(name))) {
        note.indexes.insert(name, { hash, paths, noted->kept });
        return true;
    }
    // CMake writes an index once, under a name of its own: where the note
    // names what is kept of it, that is what CMake wrote, whatever stands in
    // the reply now: mapped with other paths, or left by a run that ended
    // before it could put its own version in place.
    FileStatus keptStatus;
    const bool isKept = isNoted && noted->kept.isValid() && kept.readStatus(name, keptStatus)
            && keptStatus.identity == noted->kept && kept.read(name, keptContent, keptStatus) == ReadResult::Read;
    if (isNoted && noted->mappedHash == hash && !isKept)
        return fail(filePath, NOT_KEPT_REASON);
    // One the note does not name, but whose original is kept, was mapped
    // since by a run whose note is gone: with these paths, and it is left, or
    // with others, and it is mapped again from what is kept.
    FileIdentity keptIdentity = isKept ? noted->kept : FileIdentity();
    if (!isNoted && kept.contains(name) && kept.read(name, keptContent, keptStatus) == ReadResult::Read
        && keptContent != fileContent)
        keptIdentity = keptStatus.identity;
    const bool isFromKept = keptIdentity.isValid();
    isReplyNew = isReplyNew || !isFromKept;
    QByteArray &original = isFromKept ? keptContent : fileContent;
    unsigned dropped = 0;
    const QByteArray *mapped = nullptr;
    if (!mapContent(filePath, name, original, dropped, mapped, rewrittenContent))
        return false;
    if ((isFromKept || !dropped) && *mapped == fileContent) {
        if (isFromKept)
            note.indexes.insert(name, { hash, paths, keptIdentity });
        return true;
    }
    // Noted before it is written, with what it keeps: a run that ends in
    // between leaves a note that does not match the index, which the next
    // run then maps.
    KeptVersion version;
    const bool mayKeep = !isFromKept && kept.prepare(name, status.identity.device, version);
    // A run whose note is gone takes what is kept of an index on trust.
    version.isNamedOnceKept = mayKeep;
    note.indexes.insert(name, { contentHash(*mapped), paths,
                                isFromKept ? keptIdentity : mayKeep ? status.identity : FileIdentity() });
    if (!saveNote())
        return false;
    if (!replace(filePath, location, status, *mapped, nullptr, mayKeep ? &version : nullptr))
        return false;
    if (mayKeep && !version.isKept)
        note.indexes[name].kept = FileIdentity();
    return true;
}

// Text is mapped by the reply-text rules, a cache reply entry by entry, into
// out. mapped is the mapped text, which may be the text itself. Without a
// path, a failure is not the run's.
bool CmakeApiMapper::mapContent(const QByteArray &filePath, const QByteArray &name, QByteArray &content,
                                unsigned &dropped, const QByteArray *&mapped, QByteArray &out, RewriteCheck *check)
{
    if (!normalizeReplyText(content, dropped))
        return !filePath.isEmpty() && fail(filePath, "not UTF-8 text");
    mapped = &out;
    if (!name.startsWith("cache-")) {
        out.resize(0);
        if (!appendRewritten(out, content, RuleSet(), jsonSysrootPath, jsonWorkspacePath, check))
            mapped = &content;
        return true;
    }
    // A cache reply is small, and hashed whenever it would change.
    if (check)
        *check = RewriteCheck::MayBeRewritten;
    out = content;
    return doCMakeApiCacheReplyPathMapping(out)
            || (!filePath.isEmpty()
                && fail(filePath, "not a cache reply: no JSON object of kind \"cache\" with an array of entries"));
}

void CmakeApiMapper::loadNote(const QList<ReplyFile> &files)
{
    FileStatus status;
    if (!apiDirectory.isValid()
        || readReplyFile(apiDirectory.get(), MAPPING_NOTE_NAME, savedNoteText, status) != ReadResult::Read)
        savedNoteText.clear();
    previousNote = MappingNote::fromText(savedNoteText);
    // Every index noted stays noted while the run goes on, so that saving the
    // note before writing one index never drops another; so does the
    // database, which a run without it leaves as it is.
    note = MappingNote();
    note.paths = previousNote.paths;
    paths = note.pathsIndex({ sysrootPath, workspacePath });
    note.database = previousNote.database;
    note.unkeptPaths = previousNote.unkeptPaths;
    for (const ReplyFile &file : files) {
        const auto index = previousNote.indexes.constFind(file.name);
        if (index != previousNote.indexes.cend())
            note.indexes.insert(file.name, *index);
    }
    // An index noted that is gone was dropped by CMake with a reply it wrote.
    isReplyNew = note.indexes.size() < previousNote.indexes.size();
}

bool CmakeApiMapper::saveNote()
{
    const QByteArray text = note.toText();
    if (text == savedNoteText)
        return true;
    if (!openApiDirectory(true))
        return false;
    if (!writeOwnFile(apiDirectory.get(), MAPPING_NOTE_NAME, text))
        return fail(apiFilePath(MAPPING_NOTE_NAME), "cannot write", errno);
    savedNoteText = text;
    return true;
}
