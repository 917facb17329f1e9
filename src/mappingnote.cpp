// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The note's text: a header line, then one line a reply file.

#include "mappingnote.h"

#include <charconv>
#include <cstring>

namespace {

constexpr char HEADER[] = "dorvane mapped files 1\n";
// The kinds of entry, each with the space that ends it.
constexpr char OBJECT[] = "object ";
constexpr char INDEX[] = "index ";

QByteArray objectEntry(const FileIdentity &identity)
{
    char entry[sizeof OBJECT + 4 * 21];
    char *end = entry + sizeof OBJECT - 1;
    std::memcpy(entry, OBJECT, end - entry);
    for (const qint64 number : { qint64(identity.device), qint64(identity.inode), identity.size, identity.modified }) {
        end = std::to_chars(end, entry + sizeof entry, number).ptr;
        *end++ = ' ';
    }
    return QByteArray(entry, end - entry - 1);
}

QByteArray indexEntry(const QByteArray &contentHash)
{
    return INDEX + contentHash;
}

// A name goes on one line.
bool isNotable(const QByteArray &name)
{
    return !name.isEmpty() && !name.contains('\n');
}

} // namespace

MappingNote MappingNote::fromText(const QByteArray &text)
{
    MappingNote note;
    if (!text.startsWith(HEADER))
        return note;
    for (const QByteArray &line : text.sliced(sizeof HEADER - 1).split('\n')) {
        // The kind, then four numbers for an object or a hash for an index.
        const int fields = line.startsWith(OBJECT) ? 5 : line.startsWith(INDEX) ? 2 : 0;
        qsizetype nameBegin = 0;
        for (int i = 0; i < fields; ++i) {
            nameBegin = line.indexOf(' ', nameBegin) + 1;
            if (nameBegin == 0)
                break;
        }
        if (fields && nameBegin > 0 && nameBegin < line.size())
            note.entries.insert(line.sliced(nameBegin), line.first(nameBegin - 1));
    }
    return note;
}

QByteArray MappingNote::toText() const
{
    if (entries.isEmpty())
        return QByteArray();
    QByteArray text = HEADER;
    text.reserve(entries.size() * 128);
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        text.append(it.value()).append(' ').append(it.key()).append('\n');
    return text;
}

bool MappingNote::hasObject(const QByteArray &name, const FileIdentity &identity) const
{
    return entries.value(name) == objectEntry(identity);
}

void MappingNote::setObject(const QByteArray &name, const FileIdentity &identity)
{
    if (isNotable(name))
        entries.insert(name, objectEntry(identity));
}

bool MappingNote::hasIndex(const QByteArray &name, const QByteArray &contentHash) const
{
    return entries.value(name) == indexEntry(contentHash);
}

void MappingNote::setIndex(const QByteArray &name, const QByteArray &contentHash)
{
    if (isNotable(name))
        entries.insert(name, indexEntry(contentHash));
}

MappingNote MappingNote::indexEntries(const QByteArrayList &names) const
{
    MappingNote note;
    for (const QByteArray &name : names) {
        const QByteArray entry = entries.value(name);
        if (entry.startsWith(INDEX))
            note.entries.insert(name, entry);
    }
    return note;
}
