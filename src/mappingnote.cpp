// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The note's text: a header line, then one line an entry; and the checksum
// it names the compilation database by, taken with libxxhash.

#include "mappingnote.h"

namespace {

// One line an entry: its kind, its fields, and last, for a reply file, its
// name, which may hold spaces. The database's line ends with the path it
// has from the note's directory, which no reply file's name can be.
constexpr char HEADER[] = "dorvane mapped files 1\n";
constexpr char DATABASE_NAME[] = "../../../compile_commands.json";

QByteArray identityFields(const FileIdentity &identity)
{
    return QByteArray::number(identity.device) + ' ' + QByteArray::number(identity.inode) + ' '
            + QByteArray::number(identity.size) + ' ' + QByteArray::number(identity.modified);
}

bool readIdentity(const QByteArrayList &fields, qsizetype first, FileIdentity &identity)
{
    bool ok[4] = {};
    identity = { fields.at(first).toULongLong(&ok[0]), fields.at(first + 1).toULongLong(&ok[1]),
                 fields.at(first + 2).toLongLong(&ok[2]), fields.at(first + 3).toLongLong(&ok[3]) };
    return ok[0] && ok[1] && ok[2] && ok[3];
}

} // namespace

MappingNote MappingNote::fromText(const QByteArray &text)
{
    MappingNote note;
    if (!text.startsWith(HEADER))
        return note;
    for (const QByteArray &line : text.sliced(sizeof HEADER - 1).split('\n')) {
        const QByteArray kind = line.left(line.indexOf(' '));
        const int fieldCount = kind == "object" ? 5 : kind == "index" ? 2 : kind == "database" ? 6 : 0;
        const QByteArrayList fields = line.split(' ');
        if (fieldCount == 0 || fields.size() <= fieldCount)
            continue;
        // The name is the rest of the line, spaces and all.
        const QByteArray name = fields.mid(fieldCount).join(' ');
        if (name.isEmpty())
            continue;
        FileIdentity identity;
        if (kind == "object" && readIdentity(fields, 1, identity)) {
            note.objects.insert(name, { identity });
        } else if (kind == "index") {
            note.indexes.insert(name, { fields.at(1) });
        } else if (kind == "database" && name == DATABASE_NAME && readIdentity(fields, 2, identity)) {
            bool ok = false;
            const quint64 checksum = fields.at(1).toULongLong(&ok, 16);
            if (ok)
                note.database = DatabaseEntry { checksum, identity };
        }
    }
    return note;
}

QByteArray MappingNote::toText() const
{
    if (objects.isEmpty() && indexes.isEmpty() && !database)
        return QByteArray();
    // Sorted by name, as the entries always were, whatever their kind.
    QMap<QByteArray, QByteArray> lines;
    for (auto it = objects.cbegin(); it != objects.cend(); ++it)
        lines.insert(it.key(), "object " + identityFields(it->identity));
    for (auto it = indexes.cbegin(); it != indexes.cend(); ++it)
        lines.insert(it.key(), "index " + it->mappedHash);
    if (database)
        lines.insert(DATABASE_NAME, "database " + QByteArray::number(database->checksum, 16) + ' '
                             + identityFields(database->identity));
    QByteArray text = HEADER;
    text.reserve(lines.size() * 128);
    for (auto it = lines.cbegin(); it != lines.cend(); ++it) {
        if (!it.key().contains('\n'))
            text.append(it.value()).append(' ').append(it.key()).append('\n');
    }
    return text;
}

ContentChecksum::ContentChecksum() : state(XXH64_createState())
{
    // Only the allocation can fail, which ends the process as any other would.
    Q_CHECK_PTR(state);
    XXH64_reset(state, 0);
}

ContentChecksum::~ContentChecksum()
{
    XXH64_freeState(state);
}

void ContentChecksum::add(QByteArrayView data)
{
    XXH64_update(state, data.data(), size_t(data.size()));
}

quint64 ContentChecksum::result() const
{
    return XXH64_digest(state);
}
