// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The compilation database: found, told mapped or as CMake wrote it, and
// mapped piece by piece from what CMake wrote.

#include "cmakeapimapper.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char COMPILE_COMMANDS_PATH[] = "compile_commands.json";
// The database is read and written in pieces of about this size, so that a
// run's memory stays small and in the cache whatever the database's size.
constexpr qsizetype COMPILE_COMMANDS_PIECE_SIZE = 1 << 20;

// Reads a file in pieces cut where the reply-text rules map each piece
// exactly as they map the whole.
class Pieces
{
public:
    Pieces(FileReader &reader, QByteArray &pending) : reader(reader), pending(pending) { pending.resize(0); }

    // The next piece, as read, in piece; false at the end, or when a read
    // fails, with errno set.
    bool next(QByteArray &piece)
    {
        for (;;) {
            const qsizetype size = pending.size();
            if (isEnd || !reader.readMore(pending, COMPILE_COMMANDS_PIECE_SIZE)) {
                isFailed = !isEnd;
                return false;
            }
            isEnd = pending.size() == size;
            const qsizetype cut = isEnd ? pending.size() : replyTextCutPoint(pending);
            if (cut == 0 && !isEnd)
                continue;
            // The piece goes to piece, what follows the cut stays.
            piece.swap(pending);
            pending.resize(0);
            pending.append(piece.constData() + cut, piece.size() - cut);
            piece.truncate(cut);
            return !isEnd || !piece.isEmpty();
        }
    }

    bool isFailed = false;

private:
    FileReader &reader;
    QByteArray &pending;
    bool isEnd = false;
};

} // namespace

bool CmakeApiMapper::isCompileCommandsExist()
{
    if (!isDatabaseChecked && openBuildDirectory()) {
        isDatabaseChecked = true;
        struct stat status;
        const Resolution found = buildDirectory.locate(COMPILE_COMMANDS_PATH, databaseDirectory, databaseName, status);
        if (found == Resolution::Outside)
            warn(COMPILE_COMMANDS_PATH, "skipped: the link leads out of the build directory");
        hasDatabase = found == Resolution::Found && S_ISREG(status.st_mode);
        // A link to the database of a build directory within this one, as a
        // source root holds for clangd, is for runs in that build directory.
        struct stat directory;
        struct stat root;
        if (hasDatabase && fstat(databaseDirectory.get(), &directory) == 0 && fstat(buildDirectory.fd(), &root) == 0
            && (directory.st_dev != root.st_dev || directory.st_ino != root.st_ino)
            && fstatat(databaseDirectory.get(), "CMakeCache.txt", &status, AT_SYMLINK_NOFOLLOW) == 0) {
            warn(COMPILE_COMMANDS_PATH, "skipped: the link leads to the database of another build directory");
            hasDatabase = false;
        }
    }
    return hasDatabase;
}

// Whether the database is as CMake wrote it or as this tool mapped it, and
// with which paths, told before anything is written. A database this tool
// wrote that has since been copied or touched has another identity, and
// only its content tells. A database CMake has just written differs in size
// from the one noted, so it is read through only in the rare case that the
// size matches.
bool CmakeApiMapper::checkDatabase()
{
    databaseNoted = previousNote.database;
    if (!databaseNoted && !recogniseDatabase())
        return false;
    const std::optional<DatabaseEntry> &noted = databaseNoted;
    FileReader reader;
    FileStatus status;
    const ReadResult opened = noted ? reader.open(databaseDirectory.get(), databaseName.constData(), status)
                                    : ReadResult::Skipped;
    if (opened == ReadResult::Failed)
        return fail(COMPILE_COMMANDS_PATH, "cannot read", errno);
    // The version noted, or the one a run that ended too soon was replacing.
    bool isMapped = false;
    for (const bool isReplaced : { false, true }) {
        const DatabaseEntry entry = !isReplaced ? *noted
                : DatabaseEntry { noted->replacedChecksum, noted->replaced, noted->replacedPaths, noted->kept, UnknownPaths, 0, {} };
        if (opened != ReadResult::Read || isMapped || !entry.identity.isValid())
            continue;
        isMapped = entry.identity == status.identity;
        quint64 checksum = 0;
        if (!isMapped && entry.identity.size == status.identity.size) {
            if (lseek(reader.fd(), 0, SEEK_SET) != 0 || !readChecksum(reader, checksum))
                return fail(COMPILE_COMMANDS_PATH, "cannot read", errno);
            isMapped = checksum == entry.checksum;
        }
        if (isMapped)
            databaseNoted = entry;
    }
    databaseOrigin = !isMapped ? DatabaseOrigin::CMake
            : noted->paths == paths ? DatabaseOrigin::MappedWithThesePaths
                                    : DatabaseOrigin::MappedWithOtherPaths;
    if (databaseOrigin != DatabaseOrigin::MappedWithOtherPaths)
        return true;
    FileStatus keptStatus;
    if (noted->paths != UnknownPaths) {
        if (kept.readStatus(KEPT_DATABASE_NAME, keptStatus) && keptStatus.identity == noted->kept)
            return true;
    } else if (lseek(reader.fd(), 0, SEEK_SET) == 0) {
        // Noted in the note's first format, without its paths: taken to be mapped with
        // these where every piece may be.
        Pieces pieces(reader, fileContent);
        bool mayBeMapped = true;
        while (mayBeMapped && pieces.next(keptContent))
            mayBeMapped = mayBeMappedWithThesePaths(keptContent, false);
        if (mayBeMapped && !pieces.isFailed) {
            databaseOrigin = DatabaseOrigin::MappedWithThesePaths;
            return true;
        }
    }
    return fail(COMPILE_COMMANDS_PATH, "mapped with other paths, and no intact copy of what CMake wrote is kept: "
                                       "configure again");
}

// A database the note does not name may have been mapped by a run whose
// note is gone: it was where it holds what CMake wrote, kept, mapped with
// these paths. Told by sizes and checksums, without writing anything.
bool CmakeApiMapper::recogniseDatabase()
{
    FileReader keptReader;
    FileReader reader;
    FileStatus keptStatus;
    FileStatus status;
    if (!kept.contains(KEPT_DATABASE_NAME) || kept.open(KEPT_DATABASE_NAME, keptReader, keptStatus) != ReadResult::Read
        || reader.open(databaseDirectory.get(), databaseName.constData(), status) != ReadResult::Read)
        return true;
    ContentChecksum mapped;
    qint64 mappedSize = 0;
    Pieces keptPieces(keptReader, fileContent);
    for (bool isStart = true; mappedSize <= status.identity.size && keptPieces.next(pieceContent); isStart = false) {
        const QByteArray *piece = nullptr;
        if (!mapPiece(pieceContent, isStart, piece))
            return true;
        mapped.add(*piece);
        mappedSize += piece->size();
    }
    if (keptPieces.isFailed || mappedSize != status.identity.size)
        return true;
    quint64 checksum = 0;
    if (!readChecksum(reader, checksum))
        return fail(COMPILE_COMMANDS_PATH, "cannot read", errno);
    if (checksum == mapped.result())
        databaseNoted = DatabaseEntry { mapped.result(), status.identity, paths, keptStatus.identity, UnknownPaths, 0, {} };
    return true;
}

// The checksum of what is left to read of a file.
bool CmakeApiMapper::readChecksum(FileReader &reader, quint64 &checksum)
{
    ContentChecksum content;
    Pieces pieces(reader, fileContent);
    while (pieces.next(pieceContent))
        content.add(pieceContent);
    checksum = content.result();
    return !pieces.isFailed;
}

// Normalises a piece of the database and maps it: mapped is the mapped
// piece, which may be the piece itself. False for a piece that is not UTF-8.
bool CmakeApiMapper::mapPiece(QByteArray &piece, bool isStart, const QByteArray *&mapped, unsigned *dropped)
{
    unsigned droppedBytes = 0;
    if (!normalizeReplyText(piece, droppedBytes, isStart))
        return false;
    if (dropped)
        *dropped = droppedBytes;
    rewrittenContent.resize(0);
    mapped = appendRewritten(rewrittenContent, piece, RuleSet(), jsonSysrootPath, jsonWorkspacePath)
            ? &rewrittenContent
            : &piece;
    return true;
}

// CMake writes the database anew on every configure that would write it
// otherwise, and names it by no hash, so the note alone tells whether this
// tool wrote it. It runs to hundreds of MB, so it is mapped piece by piece,
// and its new version is started only at the first piece that changes.
bool CmakeApiMapper::mapCompileCommands(bool mayKeep)
{
    const int directory = databaseDirectory.get();
    FileReader reader;
    FileStatus status;
    const ReadResult opened = reader.open(directory, databaseName.constData(), status);
    if (opened == ReadResult::Failed)
        return fail(COMPILE_COMMANDS_PATH, "cannot read", errno);
    if (opened == ReadResult::Link)
        warn(COMPILE_COMMANDS_PATH, "skipped: it became a link while the run went on");
    if (opened != ReadResult::Read)
        return true;
    const std::optional<DatabaseEntry> noted = databaseNoted;
    if (databaseOrigin == DatabaseOrigin::MappedWithThesePaths) {
        note.database = DatabaseEntry { noted->checksum, status.identity, paths, noted->kept, UnknownPaths, 0, {} };
        return true;
    }
    // From what CMake wrote: the database, or what is kept of it.
    const bool isFromKept = databaseOrigin == DatabaseOrigin::MappedWithOtherPaths;
    FileReader keptReader;
    FileStatus keptStatus;
    if (isFromKept && kept.open(KEPT_DATABASE_NAME, keptReader, keptStatus) != ReadResult::Read)
        return fail(COMPILE_COMMANDS_PATH, "cannot read what CMake wrote, kept", errno);
    FileReader &source = isFromKept ? keptReader : reader;

    // What CMake wrote is kept where the new version is written, as a rule.
    KeptVersion version;
    mayKeep = mayKeep && !isFromKept && openApiDirectory(true)
            && kept.prepare(KEPT_DATABASE_NAME, status.identity.device, version);
    FileReplacement replacement;
    bool isStarted = false;
    // What was read before the first piece that changes, which the new
    // version then takes from the file as it is.
    qint64 unchangedSize = 0;
    ContentChecksum writtenChecksum;
    Pieces pieces(source, fileContent);
    for (bool isStart = true; pieces.next(pieceContent); isStart = false) {
        const qsizetype size = pieceContent.size();
        unsigned dropped = 0;
        const QByteArray *piece = nullptr;
        if (!mapPiece(pieceContent, isStart, piece, &dropped))
            return fail(COMPILE_COMMANDS_PATH, "not UTF-8 text");
        const QByteArray &mapped = *piece;
        const bool isRewritten = piece == &rewrittenContent;
        writtenChecksum.add(mapped);
        if (!isStarted && !isRewritten && !dropped) {
            unchangedSize += size;
            continue;
        }
        // Its owner and mode are kept, or the run fails: the database is
        // never rewritten in place. Where no version can be made to keep
        // what CMake wrote, it is replaced as it is otherwise.
        if (!isStarted && (replacement.start(directory, databaseName, status, true, mayKeep ? &version : nullptr)
                               != FileReplacement::Started
                           || !replacement.appendFrom(source.fd(), unchangedSize)))
            return mayKeep ? mapCompileCommands(false) : fail(COMPILE_COMMANDS_PATH, "cannot write", errno);
        isStarted = true;
        if (!replacement.append(mapped))
            return fail(COMPILE_COMMANDS_PATH, "cannot write", errno);
    }
    if (pieces.isFailed)
        return fail(COMPILE_COMMANDS_PATH, "cannot read", errno);
    if (!isStarted)
        return true;
    // Noted before it is in place, with what it keeps: a run that ends in
    // between leaves a note that names no file there, and the next run maps
    // the database.
    FileIdentity mappedIdentity;
    if (!replacement.readIdentity(mappedIdentity))
        return fail(COMPILE_COMMANDS_PATH, "cannot write", errno);
    const FileIdentity keptIdentity = isFromKept ? noted->kept : mayKeep ? status.identity : FileIdentity();
    note.database = DatabaseEntry { writtenChecksum.result(), mappedIdentity, paths, keptIdentity, UnknownPaths, 0, {} };
    if (isFromKept) {
        note.database->replacedPaths = noted->paths;
        note.database->replacedChecksum = noted->checksum;
        note.database->replaced = status.identity;
    }
    if (!saveNote())
        return false;
    if (!replacement.commit())
        return mayKeep ? mapCompileCommands(false) : fail(COMPILE_COMMANDS_PATH, "cannot write", errno);
    kept.add(version);
    if (mayKeep && !version.isKept)
        note.database->kept = FileIdentity();
    note.database->replaced = FileIdentity();
    return true;
}
