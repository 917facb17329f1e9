// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// What a run keeps of what CMake wrote, so that a run with other paths can
// map a file again from it.

#ifndef KEPTORIGINALS_H
#define KEPTORIGINALS_H

#include "builddirectory.h"
#include "replyfiles.h"

#include <QtCore/QByteArray>
#include <QtCore/QSet>

// CMake names a reply object by the first 20 hex digits of the SHA3-256 of
// its content, as "<kind and name>-<digits>.json": its own record of what it
// wrote. The digits of such a name, or an empty view for any other name.
QByteArrayView contentHashInName(const QByteArray &name);
// The SHA3-256, in hex, of a file's bytes as they were read, from its text
// and the byte-order mark dropped from it, if any. Not for a text that had
// its carriage returns dropped.
QByteArray contentHash(const QByteArray &text, unsigned dropped = 0);
// Whether text is what CMake wrote under name, as the hash in the name tells.
bool isAsNamed(const QByteArray &name, const QByteArray &text);

constexpr char NOT_KEPT_REASON[] = "mapped with other paths, and no intact copy of what CMake wrote is kept: "
                                   "remove .cmake/api/v1/reply and configure again";

// What is kept of the database, by a name no reply file can have.
constexpr char KEPT_DATABASE_NAME[] = ".compile_commands.json";

// Beside the note, in .cmake/api/v1/.dorvane-kept: the version CMake wrote
// of each file this tool replaced, moved there by the exchange that puts the
// mapped version in its place. It costs no copying, and no more room than
// the file CMake wrote, which a rename would have freed; and it is given
// back once CMake drops the file. CMake replaces reply files and the
// database by a rename too, so what is kept never changes under it.
class KeptOriginals
{
public:
    // The file API's directory, which holds the kept files' directory.
    void setApiDirectory(int directory) { apiDirectory = directory; }

    bool contains(const QByteArray &keptName);
    // Where a replacement of a file on device keeps the version it replaces
    // as keptName. False where it cannot: for a file on another file system,
    // or without a directory of kept files that can be made and written.
    bool prepare(const QByteArray &keptName, quint64 device, KeptVersion &version);
    // Takes note of what a replacement kept.
    void add(const KeptVersion &version);
    ReadResult read(const QByteArray &keptName, QByteArray &content, FileStatus &status);
    ReadResult open(const QByteArray &keptName, FileReader &reader, FileStatus &status);
    bool readStatus(const QByteArray &keptName, FileStatus &status);
    void remove(const QByteArray &keptName);
    // Removes what a killed run was writing here under a temporary name.
    void removeLeftovers();
    // Gives back what is kept under any other name than these.
    void removeAllBut(const QSet<QByteArray> &keptNames);
    // Whether the names kept were listed in this run.
    bool isListed() const { return isNamesListed; }

private:
    bool openDirectory(bool create);
    void list();

    int apiDirectory = -1;
    FileDescriptor directory;
    quint64 device = 0;
    bool isNamesListed = false;
    QSet<QByteArray> names;
};

#endif // KEPTORIGINALS_H
