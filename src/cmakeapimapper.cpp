// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The walk over a reply and what each file gets: mapped as text, mapped as
// the cache reply, or left as it is because it is mapped already.

#include "cmakeapimapper.h"

#include "pathrules.h"
#include "runlock.h"

#include <QtCore/QByteArrayView>
#include <QtCore/QCryptographicHash>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QList>

#include <cerrno>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char CMAKE_API_REPLY_PATH[] = ".cmake/api/v1/reply";
constexpr char CMAKE_API_QUERY_PATH[] = ".cmake/api/v1/query";
constexpr char CMAKE_API_PATH[] = ".cmake/api/v1";
// Beside the reply, not in it: when CMake writes a reply it deletes every
// other file of the reply directory, and the objects it keeps are the ones
// a note spares the next run from hashing. Every entry is checked against
// the file it names, so a note may outlive what it speaks of.
constexpr char MAPPING_NOTE_PATH[] = ".cmake/api/v1/.dorvane-mapped-files";
constexpr char MAPPING_NOTE_NAME[] = ".dorvane-mapped-files";
constexpr char COMPILE_COMMANDS_PATH[] = "compile_commands.json";
// The database is read and written in pieces of about this size, so that a
// run's memory stays small and in the cache whatever the database's size.
constexpr qsizetype COMPILE_COMMANDS_PIECE_SIZE = 1 << 20;

constexpr qsizetype NAME_HASH_LENGTH = 20;

// CMake names a reply object by the first 20 hex digits of the SHA3-256 of
// its content, as "<kind and name>-<digits>.json". The digits of such a name,
// or an empty view for any other name.
QByteArrayView contentHashInName(const QByteArray &name)
{
    constexpr qsizetype suffixLength = NAME_HASH_LENGTH + 5; // the digits and ".json"
    if (name.size() <= suffixLength || !name.endsWith(".json") || name.at(name.size() - suffixLength - 1) != '-')
        return {};
    const QByteArrayView digits = QByteArrayView(name).sliced(name.size() - suffixLength, NAME_HASH_LENGTH);
    for (const char c : digits) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return {};
    }
    return digits;
}

// The SHA3-256, in hex, of a file's bytes as they were read, from its text
// and the byte-order mark dropped from it, if any. Not for a text that had
// its carriage returns dropped.
QByteArray contentHash(const QByteArray &text, unsigned dropped)
{
    QCryptographicHash hash(QCryptographicHash::Sha3_256);
    if (dropped & DroppedByteOrderMark)
        hash.addData(QByteArrayView("\xEF\xBB\xBF"));
    hash.addData(text);
    return hash.result().toHex();
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

bool CmakeApiMapper::isReplyExist()
{
    if (!isReplyChecked) {
        isReplyChecked = true;
        replyState = openBuildDirectory() ? buildDirectory.openDirectory(CMAKE_API_REPLY_PATH, replyDirectory)
                                          : Resolution::Failed;
    }
    return replyState != Resolution::Missing;
}

bool CmakeApiMapper::isQueryExist()
{
    struct stat status;
    return openApiDirectory(false) && fstatat(apiDirectory.get(), "query", &status, AT_SYMLINK_NOFOLLOW) == 0;
}

bool CmakeApiMapper::isCompileCommandsExist()
{
    if (!isDatabaseChecked && openBuildDirectory()) {
        isDatabaseChecked = true;
        struct stat status;
        const Resolution found = buildDirectory.locate(COMPILE_COMMANDS_PATH, databaseDirectory, databaseName, status);
        if (found == Resolution::Outside)
            warn(COMPILE_COMMANDS_PATH, "skipped: the link leads out of the build directory");
        hasDatabase = found == Resolution::Found && S_ISREG(status.st_mode);
    }
    return hasDatabase;
}

// The directory of the note and the query directory. A build directory that
// has a database but no reply may not have it yet.
bool CmakeApiMapper::openApiDirectory(bool create)
{
    if (apiDirectory.isValid())
        return true;
    if (!openBuildDirectory())
        return false;
    const Resolution found = buildDirectory.openDirectory(CMAKE_API_PATH, apiDirectory, create);
    if (found == Resolution::Outside)
        return fail(CMAKE_API_PATH, "the link leads out of the build directory");
    if (found == Resolution::Failed || (found == Resolution::NotDirectory && create))
        return fail(CMAKE_API_PATH, create ? "cannot create" : "cannot open", found == Resolution::Failed ? errno : ENOTDIR);
    return found == Resolution::Found;
}

// The first failure ends the run, and is the one reported.
bool CmakeApiMapper::fail(const QByteArray &file, const char *reason, int error)
{
    if (failure.isEmpty()) {
        failure = file + ": " + reason;
        if (error)
            failure += QByteArray(": ") + std::strerror(error);
    }
    return false;
}

void CmakeApiMapper::warn(const QByteArray &file, const char *reason)
{
    std::cerr << "dorvane: " << file.constData() << ": " << reason << std::endl;
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
        return fail(".", "cannot enter", errno);
    // One run at a time: a run that read the note while another was mapping
    // would map again what the other maps. The lock is on the build
    // directory the run holds open, and is taken before anything is read.
    RunLock lock;
    const RunLock::Result locked = lock.lock(buildDirectory.fd(), lockWaitMilliseconds);
    if (locked == RunLock::Busy)
        return fail(".", "another run held the build directory for the whole wait");

    // A reply, or the directories above it, that leads out of the build
    // directory fails the run before anything is read or written.
    const bool hasReply = isReplyExist();
    if (replyState == Resolution::Outside)
        return fail(CMAKE_API_REPLY_PATH, "the link leads out of the build directory");
    if (replyState == Resolution::Failed)
        return fail(CMAKE_API_REPLY_PATH, "cannot open", errno);
    if (!openApiDirectory(false) && !failure.isEmpty())
        return false;
    if (locked == RunLock::Locked) {
        // No other run is writing now, so what is named as its temporary
        // files was left by a run that was killed.
        for (const FileDescriptor *directory : { &replyDirectory, &apiDirectory })
            removeLeftoverTemporaryFiles(directory->get());
        removeLeftoverTemporaryFiles(buildDirectory.fd());
    }

    // Without a reply, only the compilation database is mapped, and the query
    // directory is left for the configure that will answer it.
    QList<ReplyFile> files;
    if (replyState == Resolution::Found && !listReplyFiles(replyDirectory.get(), files))
        return fail(CMAKE_API_REPLY_PATH, "cannot read", errno);
    removeTemporaryFilesOnSignal();
    loadNote(files);
    // The objects, then the database, then the index files: a reader that
    // finds a new index can trust that the objects it names, and the
    // database, are already rewritten.
    const auto isIndex = [](const ReplyFile &file) { return file.name.startsWith("index-"); };
    for (const ReplyFile &file : std::as_const(files)) {
        if (!isIndex(file) && !doCMakeApiReplyPathMapping(file))
            return false;
    }
    if (isCompileCommandsRequested && isCompileCommandsExist() && !mapCompileCommands())
        return false;
    for (const ReplyFile &file : std::as_const(files)) {
        if (isIndex(file) && !doCMakeApiReplyPathMapping(file))
            return false;
    }
    // The entries of the index files and the database were saved before they
    // were written. The rest only spares the next run the hashing of mapped
    // objects, so a note that cannot be saved now fails nothing.
    saveNote();
    QByteArray failedPath;
    if (hasReply && isQueryExist() && !removeTree(apiDirectory.get(), "query", failedPath))
        return fail(QByteArray(CMAKE_API_PATH) + '/' + failedPath, "cannot remove", errno);
    return true;
}

// A reply file is mapped only while it is as CMake wrote it. CMake keeps a
// reply object whose name it would give again as it is, so after a new
// configure a reply holds objects this tool has mapped beside new ones.
bool CmakeApiMapper::doCMakeApiReplyPathMapping(const ReplyFile &file)
{
    const QByteArray filePath = QByteArray(CMAKE_API_REPLY_PATH) + '/' + file.name;
    const bool isIndex = file.name.startsWith("index-");
    const bool isCacheReply = file.name.startsWith("cache-");
    const QByteArrayView nameHash = isIndex ? QByteArrayView() : contentHashInName(file.name);
    // A link is followed to its file only while it stays inside; that
    // file's directory is where its new version is written.
    FileDescriptor linkDirectory;
    QByteArray name = file.name;
    int directory = replyDirectory.get();
    FileStatus status;
    ReadResult read = ReadResult::Link;
    for (bool isLink = file.isSymLink; isLink; isLink = read == ReadResult::Link) {
        struct stat target;
        switch (buildDirectory.locate(filePath, linkDirectory, name, target)) {
        case Resolution::Outside:
            warn(filePath, "skipped: the link leads out of the build directory");
            return true;
        case Resolution::Found:
            if (S_ISREG(target.st_mode))
                break;
            [[fallthrough]];
        default:
            // A broken link, or a link to a directory, is no reply file.
            return true;
        }
        directory = linkDirectory.get();
        read = ReadResult::Read;
    }

    FileIdentity identity;
    const auto noted = previousNote.objects.constFind(file.name);
    if (!nameHash.isEmpty() && noted != previousNote.objects.cend()
        && readFileIdentity(directory, name.constData(), identity) && noted->identity == identity) {
        note.objects.insert(file.name, *noted);
        return true;
    }

    read = readReplyFile(directory, name.constData(), fileContent, status);
    if (read == ReadResult::Link && !file.isSymLink)
        return doCMakeApiReplyPathMapping({ file.name, true }); // made a link since it was listed
    if (read == ReadResult::Failed)
        return fail(filePath, "cannot read", errno);
    if (read != ReadResult::Read)
        return true;
    const QByteArray &text = fileContent;
    unsigned dropped = 0;
    if (!normalizeReplyText(fileContent, dropped))
        return fail(filePath, "not UTF-8 text");
    const QByteArray *mapped = &rewrittenContent;
    // A cache reply is small and hashed whenever it would change.
    RewriteCheck check = RewriteCheck::MayBeRewritten;
    if (isCacheReply) {
        rewrittenContent = text;
        if (!doCMakeApiCacheReplyPathMapping(rewrittenContent))
            return fail(filePath, "not a cache reply: no JSON object of kind \"cache\" with an array of entries");
    } else {
        rewrittenContent.resize(0);
        if (!appendRewritten(rewrittenContent, text, RuleSet(), jsonSysrootPath, jsonWorkspacePath, &check))
            mapped = &text;
    }
    // What the rules leave as it is needs no writing, whoever wrote it.
    if (!dropped && *mapped == text)
        return true;
    if (isIndex)
        return writeIndex(directory, name, filePath, file, status, text, dropped, *mapped);
    if (!nameHash.isEmpty() && mayHoldMappedText(dropped, check) && !contentHash(text, dropped).startsWith(nameHash)) {
        // Rewritten since CMake wrote it, as a rule by an earlier run.
        note.objects.insert(file.name, { status.identity });
        return true;
    }
    if (!replaceFileContent(directory, name, status, *mapped, &identity))
        return fail(filePath, "cannot write", errno);
    if (!nameHash.isEmpty())
        note.objects.insert(file.name, { identity });
    return true;
}

// CMake writes the database anew on every configure that would write it
// otherwise, and names it by no hash, so the note alone tells whether this
// tool wrote it. It runs to hundreds of MB, so it is mapped piece by piece,
// and its new version is started only at the first piece that changes.
bool CmakeApiMapper::mapCompileCommands()
{
    const int directory = databaseDirectory.get();
    FileReader reader;
    FileStatus status;
    const ReadResult opened = reader.open(directory, databaseName.constData(), status);
    if (opened == ReadResult::Failed)
        return fail(COMPILE_COMMANDS_PATH, "cannot read", errno);
    if (opened != ReadResult::Read)
        return true;
    const std::optional<DatabaseEntry> noted = previousNote.database;
    if (noted && noted->identity == status.identity)
        return true;
    // One this tool wrote that has since been copied or touched has another
    // identity, and only its content tells. A database CMake has just
    // written differs in size from the one noted, so it is read twice only
    // in the rare case that the size matches.
    if (noted && noted->identity.size == status.identity.size) {
        ContentChecksum checksum;
        for (fileContent.resize(0); reader.readMore(fileContent, COMPILE_COMMANDS_PIECE_SIZE) && !fileContent.isEmpty();
             fileContent.resize(0))
            checksum.add(fileContent);
        if (!fileContent.isEmpty() || lseek(reader.fd(), 0, SEEK_SET) != 0)
            return fail(COMPILE_COMMANDS_PATH, "cannot read", errno);
        if (checksum.result() == noted->checksum) {
            note.database = DatabaseEntry { noted->checksum, status.identity };
            return true;
        }
    }

    FileReplacement replacement;
    bool isStarted = false;
    // What was read before the first piece that changes, which the new
    // version then takes from the file as it is.
    qint64 unchangedSize = 0;
    ContentChecksum writtenChecksum;
    fileContent.resize(0);
    for (bool isStart = true, isEnd = false; !isEnd;) {
        const qsizetype pending = fileContent.size();
        if (!reader.readMore(fileContent, COMPILE_COMMANDS_PIECE_SIZE))
            return fail(COMPILE_COMMANDS_PATH, "cannot read", errno);
        isEnd = fileContent.size() == pending;
        const qsizetype cut = isEnd ? fileContent.size() : replyTextCutPoint(fileContent);
        if (cut == 0 && !isEnd)
            continue;
        // The piece goes to pieceContent, what follows the cut stays.
        pieceContent.swap(fileContent);
        fileContent.resize(0);
        fileContent.append(pieceContent.constData() + cut, pieceContent.size() - cut);
        pieceContent.truncate(cut);
        unsigned dropped = 0;
        if (!normalizeReplyText(pieceContent, dropped, isStart))
            return fail(COMPILE_COMMANDS_PATH, "not UTF-8 text");
        isStart = false;
        rewrittenContent.resize(0);
        const bool isRewritten = appendRewritten(rewrittenContent, pieceContent, RuleSet(), jsonSysrootPath,
                                                 jsonWorkspacePath);
        const QByteArray &mapped = isRewritten ? rewrittenContent : pieceContent;
        writtenChecksum.add(mapped);
        if (!isStarted && !isRewritten && !dropped) {
            unchangedSize += cut;
            continue;
        }
        // Its owner and mode are kept, or the run fails: the database is
        // never rewritten in place.
        if (!isStarted && (replacement.start(directory, databaseName, status, true) != FileReplacement::Started
                           || !replacement.appendFrom(reader.fd(), unchangedSize)))
            return fail(COMPILE_COMMANDS_PATH, "cannot write", errno);
        isStarted = true;
        if (!replacement.append(mapped))
            return fail(COMPILE_COMMANDS_PATH, "cannot write", errno);
    }
    if (!isStarted)
        return true;
    // Noted before it is in place: a run that ends in between leaves a note
    // that names no file there, and the next run maps the database.
    FileIdentity mappedIdentity;
    if (!replacement.readIdentity(mappedIdentity))
        return fail(COMPILE_COMMANDS_PATH, "cannot write", errno);
    note.database = DatabaseEntry { writtenChecksum.result(), mappedIdentity };
    if (!saveNote())
        return false;
    return replacement.commit() || fail(COMPILE_COMMANDS_PATH, "cannot write", errno);
}

// Whether a reply object may hold what this tool wrote with these paths, so
// that only its hash can tell. The tool never writes a carriage return, and
// reply text it wrote holds no match away from the paths it inserted. A rare
// file with a byte-order mark is hashed whenever it would change.
bool CmakeApiMapper::mayHoldMappedText(unsigned dropped, RewriteCheck check)
{
    if (dropped & DroppedCarriageReturns)
        return false;
    return (dropped & DroppedByteOrderMark) || check != RewriteCheck::NotRewritten;
}

// Index files are named by time and written anew on every configure: the
// note says which of them this tool wrote.
bool CmakeApiMapper::writeIndex(int directory, const QByteArray &name, const QByteArray &filePath,
                                const ReplyFile &file, const FileStatus &status, const QByteArray &text,
                                unsigned dropped, const QByteArray &mapped)
{
    if (!(dropped & DroppedCarriageReturns) && previousNote.indexes.value(file.name).mappedHash == contentHash(text, dropped))
        return true;
    // Noted before it is written: a run that ends in between leaves a note
    // that does not match the index, which the next run then maps.
    note.indexes.insert(file.name, { contentHash(mapped, 0) });
    if (!saveNote())
        return false;
    return replaceFileContent(directory, name, status, mapped) || fail(filePath, "cannot write", errno);
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
    note.database = previousNote.database;
    for (const ReplyFile &file : files) {
        const auto index = previousNote.indexes.constFind(file.name);
        if (index != previousNote.indexes.cend())
            note.indexes.insert(file.name, *index);
    }
}

bool CmakeApiMapper::saveNote()
{
    const QByteArray text = note.toText();
    if (text == savedNoteText)
        return true;
    if (!openApiDirectory(true))
        return false;
    if (!writeOwnFile(apiDirectory.get(), MAPPING_NOTE_NAME, text))
        return fail(MAPPING_NOTE_PATH, "cannot write", errno);
    savedNoteText = text;
    return true;
}

QString CmakeApiMapper::rewriteCacheValue(const QString &name, const QString &value)
{
    RuleSet rules;
    rules.isReplyText = false;
    if (name == u"INCLUDE_INSTALL_DIR")
        rules.directoryRules &= ~IncludeRule;
    // Flags name libraries as the build environment links them, -L/usr/lib
    // included, and install directories are where the project installs to.
    if (name == u"LIB_INSTALL_DIR" || isFlagCacheVariable(name))
        rules.directoryRules &= ~LibraryRule;
    if (name == u"SHARE_INSTALL_PREFIX")
        rules.directoryRules &= ~ShareRule;
    return rewriteString(value, rules, sysrootPath, workspacePath);
}

bool CmakeApiMapper::doCMakeApiCacheReplyPathMapping(QByteArray &text)
{
    QJsonObject cache = readJson(text).object();
    // Without an array of entries there is nothing to map, and nothing
    // would keep what the file holds in their place.
    if (cache.value(u"kind") != QJsonValue(QStringLiteral("cache")) || !cache.value(u"entries").isArray())
        return false;
    QJsonArray entries = cache.value(u"entries").toArray();
    bool isChanged = false;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        // Only string values are mapped. An element that is no object (so has
        // no value), or an entry whose value is no string, is kept as it is:
        // CMake writes neither, and rewriting them would lose what they hold.
        QJsonObject entry = entries.at(i).toObject();
        const QJsonValue value = entry.value(u"value");
        if (!value.isString())
            continue;
        const QString mapped = rewriteCacheValue(entry.value(u"name").toString(), value.toString());
        if (mapped == value.toString())
            continue;
        entry.insert(QStringLiteral("value"), mapped);
        entries.replace(i, entry);
        isChanged = true;
    }
    // A reply the rules leave as it is keeps its bytes, and is not written.
    if (isChanged) {
        cache.insert(QStringLiteral("entries"), entries);
        text = QJsonDocument(cache).toJson(QJsonDocument::Indented);
    }
    return true;
}

QJsonDocument CmakeApiMapper::readJson(const QByteArray &text, QJsonParseError *error)
{
    // Qt's parser drops a byte-order mark that starts a string holding no
    // escape; written as an escape, it is kept, as every other character is.
    // One that starts the text is no character of the document, and Qt skips it.
    const qsizetype start = text.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    return QJsonDocument::fromJson(text.sliced(start).replace("\xEF\xBB\xBF", "\\ufeff"), error);
}

bool CmakeApiMapper::isFlagCacheVariable(const QString &name)
{
    return name == u"CMAKE_CXX_FLAGS" || name == u"CMAKE_EXE_LINKER_FLAGS" || name == u"CMAKE_MODULE_LINKER_FLAGS"
            || name == u"CMAKE_SHARED_LINKER_FLAGS";
}
