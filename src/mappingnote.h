// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The note a run leaves beside the reply: which reply files this tool has
// mapped, so that a later run does not map them again.

#ifndef MAPPINGNOTE_H
#define MAPPINGNOTE_H

#include "replyfiles.h"

#include <QtCore/QByteArray>
#include <QtCore/QByteArrayList>
#include <QtCore/QMap>

// One line a file. A reply object is named by the identity of the version
// this tool wrote or found already mapped; a reply index, which can be noted
// before it is written, by the SHA3-256 of its mapped content. The file's
// name comes last on its line, so it may hold spaces.
class MappingNote
{
public:
    // Lines that cannot be read are left out.
    static MappingNote fromText(const QByteArray &text);
    // Empty for an empty note.
    QByteArray toText() const;

    bool contains(const QByteArray &name) const { return entries.contains(name); }
    bool hasObject(const QByteArray &name, const FileIdentity &identity) const;
    void setObject(const QByteArray &name, const FileIdentity &identity);
    bool hasIndex(const QByteArray &name, const QByteArray &contentHash) const;
    void setIndex(const QByteArray &name, const QByteArray &contentHash);

    // The entries of the index files among names.
    MappingNote indexEntries(const QByteArrayList &names) const;

private:
    // The name, and the rest of its line.
    QMap<QByteArray, QByteArray> entries;
};

#endif // MAPPINGNOTE_H
