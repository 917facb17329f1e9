// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The mapper: walks a CMake file API reply and decides what each file gets.

#ifndef CMAKEAPIMAPPER_H
#define CMAKEAPIMAPPER_H

#include "builddirectory.h"
#include "keptoriginals.h"
#include "mappingnote.h"
#include "pathrules.h"
#include "replyfiles.h"

#include <QtCore/QByteArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QSet>
#include <QtCore/QString>

// Rewrites the paths in a CMake file API reply that CMake wrote inside a build
// environment, so that the reply names the same files as the host reaches them:
// system directories are re-rooted under the sysroot path and "/workspace" is
// replaced by the workspace path. Works on the reply below the current
// directory, and never acts outside that directory.
class CmakeApiMapper
{
public:
    CmakeApiMapper(const QString &sysrootPath, const QString &workspacePath);

    // Works in directory rather than in the current directory. False, with
    // errno set, for one that cannot be entered.
    bool setBuildDirectory(const QByteArray &directory);

    // Whether anything stands at the reply's path. One that leads out of the
    // build directory does, and fails the run.
    bool isReplyExist();
    bool isQueryExist();
    // Whether compile_commands.json in the build directory is a regular
    // file, or a link to one inside the build directory.
    bool isCompileCommandsExist();

    // Asks the run to map compile_commands.json as well, before the index files.
    void requestCompileCommands();

    // Maps every reply file, and the compilation database if asked, from what
    // CMake wrote, so that each ends as one mapping with these paths leaves
    // it; then removes the query directory if there is a reply. Index files
    // go last. Stops at the first file that cannot be mapped: it and every
    // later one are left as they were.
    bool DoCMakeApiPathMapping();

    // Rewrites a cache reply (UTF-8 JSON) entry by entry and re-serialises it
    // if any value changes. On false the text is unchanged and must not be
    // written back.
    bool doCMakeApiCacheReplyPathMapping(QByteArray &text);
    // Reads JSON as the cache reply is read, every character kept.
    static QJsonDocument readJson(const QByteArray &text, QJsonParseError *error = nullptr);

    bool isFlagCacheVariable(const QString &name);

    // Why the run failed: the file, as named from the current directory,
    // and the reason. Empty while nothing failed.
    const QByteArray &problem() const { return failure; }

private:
    friend class tst_Mapper;
    // How long a run waits for another run in the same build directory to end.
    void setLockWait(int milliseconds);

    // Where a reply file's bytes are: the reply directory and its name, or,
    // through a link that stays inside, the directory of the file it points
    // to and its name there.
    struct Location
    {
        FileDescriptor linkDirectory;
        int directory = -1;
        QByteArray name;
    };
    // What a run makes of the database before it writes anything.
    enum class DatabaseOrigin { CMake, MappedWithThesePaths, MappedWithOtherPaths };

    bool openBuildDirectory();
    bool openApiDirectory(bool create);
    // Fails the run for a reply directory that leads out, or cannot be opened.
    bool checkReplyDirectory();
    QByteArray displayPath(const QByteArray &file) const;
    bool fail(const QByteArray &file, QByteArrayView reason, int error = 0);
    void warn(const QByteArray &file, const char *reason);
    static QByteArray apiFilePath(const QByteArray &name);
    static QByteArray replyFilePath(const QByteArray &name);
    bool locate(const QByteArray &name, bool isSymLink, Location &location, bool isQuiet = false);

    bool checkPathsChange(const QList<ReplyFile> &files);
    bool checkUnkept(const QList<ReplyFile> &files);
    bool mayBeMappedWithThesePaths(QByteArray &text, bool isCacheReply);
    bool checkWorkspace();
    bool isKeptObjectIntact(const QByteArray &name);
    bool checkDatabase();
    bool recogniseDatabase();
    bool readChecksum(FileReader &reader, quint64 &checksum);
    bool mapPiece(QByteArray &piece, bool isStart, const QByteArray *&mapped, unsigned *dropped = nullptr);
    bool doCMakeApiReplyPathMapping(const ReplyFile &file);
    bool compareWithKept(const QByteArray &filePath, const QByteArray &name, const Location &location,
                         const FileStatus &status, bool &isAsKept, bool &isDone);
    bool mapObjectAgain(const QByteArray &filePath, const QByteArray &name, const Location &location,
                        const FileStatus &status);
    bool writeObject(const QByteArray &filePath, const QByteArray &name, const Location &location,
                     const FileStatus &status, const QByteArray &content, bool keepOriginal);
    bool replace(const QByteArray &filePath, const Location &location, const FileStatus &status,
                 const QByteArray &content, FileIdentity *written, KeptVersion *version, bool isObject = false);
    bool noteUnkept();
    bool mapIndex(const QByteArray &filePath, const QByteArray &name, const Location &location);
    bool mapContent(const QByteArray &filePath, const QByteArray &name, QByteArray &content, unsigned &dropped,
                    const QByteArray *&mapped, QByteArray &out, RewriteCheck *check = nullptr);
    bool mapCompileCommands(bool mayKeep = true);
    void loadNote(const QList<ReplyFile> &files);
    bool saveNote();
    RuleSet cacheEntryRules(const QString &name);
    QString rewriteCacheValue(const QString &name, const QString &value);
    bool isCacheReplyMappedWith(const QByteArray &text);

    QString sysrootPath;
    QString workspacePath;
    // Long enough for another run over the largest reply on a slow disk; a
    // holder that takes longer is stopped or hung, and waiting on for it
    // would hang whoever started this run too.
    int lockWaitMilliseconds = 60000;
    bool isCompileCommandsRequested = false;
    // The paths as JSON string content, for reply text.
    QByteArray jsonSysrootPath;
    QByteArray jsonWorkspacePath;
    // The build directory, and the directories of the file API and the
    // reply in it, as they were found when the run started.
    BuildDirectory buildDirectory;
    Resolution buildDirectoryState = Resolution::Missing;
    // As given, for what the run says about its files.
    QByteArray buildDirectoryName;
    FileDescriptor apiDirectory;
    FileDescriptor replyDirectory;
    Resolution replyState = Resolution::Missing;
    bool isReplyChecked = false;
    // Where the database is: the directory that holds its file, and its name there.
    FileDescriptor databaseDirectory;
    QByteArray databaseName;
    bool hasDatabase = false;
    bool isDatabaseChecked = false;
    DatabaseOrigin databaseOrigin = DatabaseOrigin::CMake;
    // The database as the note names it, or as it was told without the note.
    std::optional<DatabaseEntry> databaseNoted;
    // What the last run noted, the note of this run and the paths of this
    // run in it, and the note's text as it stands on disk.
    MappingNote previousNote;
    MappingNote note;
    int paths = UnknownPaths;
    QByteArray savedNoteText;
    KeptOriginals kept;
    // Files a note of the first format names, which may have been mapped
    // with these paths: they are taken to be.
    QSet<QByteArray> acceptedAsMapped;
    bool isAnyTakenAsMapped = false;
    bool isWorkspaceSeen = false;
    // Whether CMake wrote the reply anew since the last run.
    bool isReplyNew = false;
    QByteArray failure;
    // Reused from file to file, so that a run allocates its memory once.
    QByteArray fileContent;
    QByteArray keptContent;
    QByteArray keptMapped;
    QByteArray pieceContent;
    QByteArray rewrittenContent;
};

#endif // CMAKEAPIMAPPER_H
