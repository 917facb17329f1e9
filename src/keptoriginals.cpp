// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The kept files' directory, read and removed by name, never through a
// link; and how a run finds what CMake wrote, kept or not.

#include "keptoriginals.h"

#include "cmakeapimapper.h"

#include <QtCore/QCryptographicHash>

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char KEPT_DIRECTORY_NAME[] = ".dorvane-kept";

} // namespace

// CMake names a reply object by the first 20 hex digits of the SHA3-256 of
// its content, as "<kind and name>-<digits>.json". The digits of such a name,
// or an empty view for any other name.
QByteArrayView contentHashInName(const QByteArray &name)
{
    constexpr qsizetype NAME_HASH_LENGTH = 20;
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

bool isAsNamed(const QByteArray &name, const QByteArray &text)
{
    const QByteArrayView digits = contentHashInName(name);
    return !digits.isEmpty() && contentHash(text).startsWith(digits);
}

// A link or a file in its place is no such directory: nothing is kept then.
bool KeptOriginals::openDirectory(bool create)
{
    if (directory.isValid() || apiDirectory < 0)
        return directory.isValid();
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(apiDirectory, KEPT_DIRECTORY_NAME, flags);
    if (fd < 0 && errno == ENOENT && create && (mkdirat(apiDirectory, KEPT_DIRECTORY_NAME, 0777) == 0 || errno == EEXIST))
        fd = openat(apiDirectory, KEPT_DIRECTORY_NAME, flags);
    directory = FileDescriptor(fd);
    struct stat status;
    if (directory.isValid() && fstat(directory.get(), &status) == 0)
        device = status.st_dev;
    return directory.isValid();
}

void KeptOriginals::list()
{
    if (isNamesListed)
        return;
    isNamesListed = true;
    if (!openDirectory(false))
        return;
    DIR *const entries = openListing(directory.get());
    if (!entries)
        return;
    while (const dirent *entry = readdir(entries)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.insert(name);
    }
    closedir(entries);
}

bool KeptOriginals::contains(const QByteArray &keptName)
{
    list();
    return names.contains(keptName);
}

bool KeptOriginals::prepare(const QByteArray &keptName, quint64 fileDevice, KeptVersion &version)
{
    // Names are exchanged only within one file system.
    if (!openDirectory(true) || device != fileDevice)
        return false;
    version = { directory.get(), keptName, false };
    return true;
}

void KeptOriginals::add(const KeptVersion &version)
{
    if (version.isKept)
        names.insert(version.name);
}

ReadResult KeptOriginals::read(const QByteArray &keptName, QByteArray &content, FileStatus &status)
{
    return openDirectory(false) ? readReplyFile(directory.get(), keptName.constData(), content, status)
                                : ReadResult::Skipped;
}

ReadResult KeptOriginals::open(const QByteArray &keptName, FileReader &reader, FileStatus &status)
{
    return openDirectory(false) ? reader.open(directory.get(), keptName.constData(), status) : ReadResult::Skipped;
}

bool KeptOriginals::readStatus(const QByteArray &keptName, FileStatus &status)
{
    return openDirectory(false) && readFileStatus(directory.get(), keptName.constData(), status);
}

void KeptOriginals::remove(const QByteArray &keptName)
{
    if (openDirectory(false))
        unlinkat(directory.get(), keptName.constData(), 0);
    names.remove(keptName);
}

void KeptOriginals::removeLeftovers()
{
    if (openDirectory(false))
        removeLeftoverTemporaryFiles(directory.get());
}

void KeptOriginals::removeAllBut(const QSet<QByteArray> &keptNames)
{
    list();
    const QSet<QByteArray> listed = names;
    for (const QByteArray &name : listed) {
        if (!keptNames.contains(name))
            remove(name);
    }
}

// Finds every file that was mapped with other paths than these, and makes
// sure that what CMake wrote of it is kept, before anything is written.
bool CmakeApiMapper::checkPathsChange(const QList<ReplyFile> &files)
{
    for (const ReplyFile &file : files) {
        const bool isIndex = file.name.startsWith("index-");
        const auto index = previousNote.indexes.constFind(file.name);
        const auto object = previousNote.objects.constFind(file.name);
        const int notedPaths = isIndex ? (index == previousNote.indexes.cend() ? paths : index->paths)
                                       : (object == previousNote.objects.cend() || contentHashInName(file.name).isEmpty()
                                                  ? paths
                                                  : object->paths);
        Location location;
        if (notedPaths == paths || notedPaths == AnyPaths || !locate(file.name, file.isSymLink, location, true))
            continue;
        // Only a file that is as this tool left it was mapped with them.
        FileStatus status;
        if (isIndex || notedPaths == UnknownPaths) {
            if (readReplyFile(location.directory, location.name.constData(), fileContent, status) != ReadResult::Read
                || (isIndex ? contentHash(fileContent) != index->mappedHash : status.identity != object->identity))
                continue;
        } else if (!readFileStatus(location.directory, location.name.constData(), status)) {
            continue;
        } else if (status.identity != object->identity) {
            // Touched or copied since, by someone else: it holds other paths
            // unless it is what CMake wrote, as the hash in its name tells.
            if (readReplyFile(location.directory, location.name.constData(), fileContent, status) != ReadResult::Read
                || isAsNamed(file.name, fileContent))
                continue;
        }
        FileStatus keptStatus;
        if (notedPaths == UnknownPaths ? mayBeMappedWithThesePaths(fileContent, file.name.startsWith("cache-"))
            : isIndex ? kept.readStatus(file.name, keptStatus) && keptStatus.identity == index->kept
                      : isKeptObjectIntact(file.name)) {
            if (notedPaths == UnknownPaths)
                acceptedAsMapped.insert(file.name);
            continue;
        }
        return fail(replyFilePath(file.name), NOT_KEPT_REASON);
    }
    return true;
}

// A run that ended before its note named the objects it mapped with nothing
// kept of them leaves only the hashes in their names to tell: an object
// mapped since, by a run with other paths than these, cannot be mapped again.
bool CmakeApiMapper::checkUnkept(const QList<ReplyFile> &files)
{
    if (std::all_of(previousNote.unkeptPaths.cbegin(), previousNote.unkeptPaths.cend(),
                    [this](int unkept) { return unkept == paths; }))
        return true;
    for (const ReplyFile &file : files) {
        const QByteArrayView nameHash = contentHashInName(file.name);
        const auto noted = previousNote.objects.constFind(file.name);
        FileStatus status;
        Location location;
        if (nameHash.isEmpty() || file.name.startsWith("index-") || kept.contains(file.name)
            || !locate(file.name, file.isSymLink, location, true)
            || readReplyFile(location.directory, location.name.constData(), fileContent, status) != ReadResult::Read
            || (noted != previousNote.objects.cend() && noted->identity == status.identity)
            || isAsNamed(file.name, fileContent))
            continue;
        return fail(replyFilePath(file.name), NOT_KEPT_REASON);
    }
    return true;
}

// A note of the first format names no paths. A text it names counts as
// mapped with these where every match in it is one that a mapping with them
// leaves, a system directory right after the sysroot path; a cache reply,
// value by value, with the rules each takes. Another workspace path leaves
// no such trace: see checkWorkspace().
bool CmakeApiMapper::mayBeMappedWithThesePaths(QByteArray &text, bool isCacheReply)
{
    unsigned dropped = 0;
    if (!normalizeReplyText(text, dropped) || (dropped & DroppedCarriageReturns))
        return false;
    const bool isMapped = isCacheReply ? isCacheReplyMappedWith(text)
                                       : isMappedWith(text, RuleSet(), jsonSysrootPath, jsonWorkspacePath);
    isWorkspaceSeen = isWorkspaceSeen || text.contains(jsonWorkspacePath);
    isAnyTakenAsMapped = isAnyTakenAsMapped || isMapped;
    return isMapped;
}

bool CmakeApiMapper::isKeptObjectIntact(const QByteArray &name)
{
    FileStatus status;
    return kept.contains(name) && kept.read(name, keptContent, status) == ReadResult::Read
            && isAsNamed(name, keptContent);
}

// An object the note does not name as it stands, whose original is kept:
// what CMake wrote tells with which paths it was mapped since. Sets isAsKept
// where the object is as CMake wrote it, and isDone where it is mapped with
// these paths already, or now from what is kept.
bool CmakeApiMapper::compareWithKept(const QByteArray &filePath, const QByteArray &name, const Location &location,
                                     const FileStatus &status, bool &isAsKept, bool &isDone)
{
    FileStatus keptStatus;
    if (!kept.contains(name) || kept.read(name, keptContent, keptStatus) != ReadResult::Read)
        return true;
    isAsKept = keptContent == fileContent;
    if (isAsKept)
        return true;
    unsigned dropped = 0;
    const QByteArray *mapped = nullptr;
    pieceContent = keptContent;
    const bool isKeptMapped = mapContent({}, name, pieceContent, dropped, mapped, keptMapped);
    if (isKeptMapped && *mapped == fileContent) {
        note.objects.insert(name, { status.identity, paths });
        isDone = true;
        return true;
    }
    if (isKeptMapped && isAsNamed(name, keptContent)) {
        isDone = true;
        return writeObject(filePath, name, location, status, *mapped, false);
    }
    kept.remove(name); // fails its check, and is of no use
    return true;
}

// An object mapped with other paths, whose original checkPathsChange found kept.
bool CmakeApiMapper::mapObjectAgain(const QByteArray &filePath, const QByteArray &name, const Location &location,
                                    const FileStatus &status)
{
    FileStatus keptStatus;
    if (kept.read(name, keptContent, keptStatus) != ReadResult::Read)
        return fail(filePath, NOT_KEPT_REASON);
    unsigned dropped = 0;
    const QByteArray *mapped = nullptr;
    if (!mapContent(filePath, name, keptContent, dropped, mapped, rewrittenContent))
        return false;
    // Other paths may map it as these do.
    FileStatus current;
    if (readReplyFile(location.directory, location.name.constData(), fileContent, current) == ReadResult::Read
        && fileContent == *mapped) {
        note.objects.insert(name, { current.identity, paths });
        return true;
    }
    return writeObject(filePath, name, location, status, *mapped, false);
}

// Puts content in place of a reply file, and where version is given, keeps
// what it replaces. Where that is not kept after all (a file system that
// cannot exchange names, a reply directory that can only be written in
// place), the file is replaced as it is otherwise; an object so only after
// the note says that one may stand mapped with these paths, unkept.
bool CmakeApiMapper::replace(const QByteArray &filePath, const Location &location, const FileStatus &status,
                             const QByteArray &content, FileIdentity *written, KeptVersion *version, bool isObject)
{
    if (version && replaceFileContent(location.directory, location.name, status, content, written, version)) {
        kept.add(*version);
        return true;
    }
    if (version && isObject && !noteUnkept())
        return false;
    if (replaceFileContent(location.directory, location.name, status, content, written))
        return true;
    return errno == EMLINK ? fail(filePath, "cannot write in place, as it has other hard links")
                           : fail(filePath, "cannot write", errno);
}

// Before an object is replaced with nothing kept of what CMake wrote: a run
// that ends before its note names the object leaves it mapped with these
// paths, and only this entry tells a later run with other paths to look.
bool CmakeApiMapper::noteUnkept()
{
    if (note.unkeptPaths.contains(paths))
        return true;
    note.unkeptPaths.insert(paths);
    return saveNote();
}
