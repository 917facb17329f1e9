// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The version CMake wrote of each file this tool replaced, kept so that a
// run with other paths can map the file again from it.

#ifndef KEPTORIGINALS_H
#define KEPTORIGINALS_H

#include "filereplacement.h"
#include "fileio.h"
#include "contenthash.h"
#include "replylayout.h"

#include <QtCore/QByteArray>
#include <QtCore/QSet>

#include <optional>

// What is kept of the database, by a name no reply file can have.
constexpr char KEPT_DATABASE_NAME[] = ".compile_commands.json";
// Why a file mapped with other paths cannot be mapped with these.
constexpr char NOT_KEPT_REASON[] = "mapped with other paths, and no intact copy of what CMake wrote is kept: ";

// In .cmake/api/v1/.dorvane-kept, by the name of the file in the reply, and
// the database by a name of its own: an object and the database are moved
// there by the exchange that puts the mapped version in place, which costs
// no copying and no more room than the file CMake wrote, and an index is
// copied there whole; each is removed once CMake drops the file. CMake
// replaces reply files and the database by a rename too, so what is kept
// never changes under it. Nothing here is read or removed through a link,
// and a link or a file in the directory's place keeps nothing.
class KeptOriginals
{
public:
    explicit KeptOriginals(ReplyLayout &layout) : layout(layout) { }

    bool contains(const QByteArray &keptName);
    ReadResult read(const QByteArray &keptName, QByteArray &content, FileStatus &status);
    ReadResult open(const QByteArray &keptName, FileReader &reader, FileStatus &status);
    // The checksum of what is kept under keptName, none where nothing is;
    // with an identity, as a note of the second format names a kept file,
    // only while the size and modification time are that identity's, which
    // a copy of the build directory (cp -a, rsync -a) keeps, where it does
    // not keep the inode.
    Checksum checksum(const QByteArray &keptName, const std::optional<FileIdentity> &identity = {});
    // The checksum of what is kept under keptName where it is what CMake
    // wrote: its content has the checksum given, or, without one, the hash
    // in its name. None otherwise.
    Checksum intactChecksum(const QByteArray &keptName, const Checksum &expected);

    // Where a replacement of a file on device keeps the version it replaces
    // as keptName. False where it cannot: for a file on another file system,
    // or without a directory of kept files that is there or can be made.
    bool prepare(const QByteArray &keptName, quint64 device, KeptVersion &version);
    // Keeps a copy of content as keptName, made whole under another name and
    // renamed into place.
    bool store(const QByteArray &keptName, const QByteArray &content);
    // Takes note of what a replacement kept.
    void add(const KeptVersion &version);
    void remove(const QByteArray &keptName);
    // Removes what a killed run was writing here under a temporary name.
    void removeLeftovers();
    // Removes what is kept under any other name than these.
    void removeAllBut(const QSet<QByteArray> &keptNames);
    // Whether the names kept were listed in this run.
    bool isListed() const { return isNamesListed; }

    // Fails the run for a file, at path, mapped with other paths that
    // nothing intact kept under keptName can map again, with advice; or,
    // where what is kept cannot be read, for that.
    bool refuse(RunReport &report, const QByteArray &keptName, const QByteArray &path, const QByteArray &advice);

private:
    int directory(bool create = false);
    void list();

    ReplyLayout &layout;
    int openError = 0;
    FileDescriptor keptDirectory;
    quint64 device = 0;
    bool isNamesListed = false;
    QSet<QByteArray> names;
};

#endif // KEPTORIGINALS_H
