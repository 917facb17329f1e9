// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The note's text: a header line, the paths entries name by number, then a
// line an entry, its kind, its fields, and last, for a reply file, its name,
// which may hold spaces. Paths are percent-encoded after a colon, so that an
// empty one still fills its field; checksums are 16 hex digits, or "-".
// Earlier formats are not read: they named files by other hashes, and the
// first named no paths.

#include "mappingnote.h"

#include <QtCore/QHash>

#include <algorithm>
#include <charconv>

namespace {

constexpr char HEADER[] = "dorvane mapped files 4\n";

QByteArray encodePath(const QString &path)
{
    return ':' + path.toUtf8().toPercentEncoding("/");
}

// A second run writes the note of thousands of files again to see whether it
// changed: numbers go straight into the text.
template <typename Number>
void appendNumber(QByteArray &text, Number number)
{
    char digits[24];
    text.append(' ').append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr - digits);
}

void appendIdentity(QByteArray &text, const FileIdentity &identity)
{
    for (const qint64 number : { qint64(identity.device), qint64(identity.inode), identity.size, identity.modified })
        appendNumber(text, number);
}

void appendChecksum(QByteArray &text, const Checksum &checksum)
{
    if (!checksum) {
        text.append(" -");
        return;
    }
    char digits[16];
    const char *const end = std::to_chars(digits, digits + sizeof digits, *checksum, 16).ptr;
    text.append(' ').append(16 - (end - digits), '0').append(digits, end - digits);
}

void appendVersion(QByteArray &text, const char *kind, const DatabaseVersion &version)
{
    text.append(kind);
    appendNumber(text, version.paths);
    appendChecksum(text, version.checksum);
    appendIdentity(text, version.identity);
}

// The fields of a line one after the other; isValid once each was there and read.
class FieldReader
{
public:
    explicit FieldReader(QByteArrayView line) : line(line) { }

    QByteArrayView next()
    {
        const qsizetype space = line.indexOf(' ', position);
        const qsizetype end = space < 0 ? line.size() : space;
        const QByteArrayView field = position <= line.size() ? line.sliced(position, end - position) : QByteArrayView();
        position = end + 1;
        isValid = isValid && !field.isEmpty();
        return field;
    }
    template <typename Number>
    Number parse(QByteArrayView field, int base = 10)
    {
        Number value = 0;
        const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value, base);
        isValid = isValid && error == std::errc() && end == field.data() + field.size();
        return value;
    }
    qint64 number() { return parse<qint64>(next()); }
    FileIdentity identity()
    {
        // As an identity appends them: the device and inode as signed.
        const quint64 device = quint64(number());
        const quint64 inode = quint64(number());
        const qint64 size = number();
        return { device, inode, size, number() };
    }
    // "-" where there is none, and "=" for an object that is what CMake wrote.
    Checksum checksum(bool *isAsCMakeWrote = nullptr)
    {
        const QByteArrayView field = next();
        if (isAsCMakeWrote)
            *isAsCMakeWrote = field == "=";
        return field == "-" || field == "=" ? Checksum() : Checksum(parse<quint64>(field, 16));
    }
    DatabaseVersion version(int paths)
    {
        const Checksum sum = checksum();
        return { sum.value_or(0), identity(), paths };
    }
    QByteArray rest()
    {
        const QByteArray value = position < line.size() ? line.sliced(position).toByteArray() : QByteArray();
        isValid = isValid && !value.isEmpty();
        return value;
    }

    bool isValid = true;

private:
    QByteArrayView line;
    qsizetype position = 0;
};

} // namespace

std::optional<MappingNote> MappingNote::fromText(const QByteArray &text)
{
    MappingNote note;
    if (text.isEmpty())
        return note;
    if (!text.startsWith(HEADER))
        return {};
    QHash<qint64, int> pathsByNumber;
    std::optional<DatabaseVersion> replaced;
    for (const QByteArray &line : text.sliced(sizeof HEADER - 1).split('\n')) {
        FieldReader fields(line);
        const QByteArrayView kind = fields.next();
        const qint64 number = fields.number();
        if (kind == "paths" && fields.isValid) {
            // The sysroot path, the workspace path, then each mapping's CONTAINER=HOST.
            QList<QString> decoded;
            for (QByteArrayView field = fields.next(); field.startsWith(':'); field = fields.next()) {
                for (const QByteArray &part : field.sliced(1).toByteArray().split('='))
                    decoded.append(QString::fromUtf8(QByteArray::fromPercentEncoding(part)));
            }
            if (decoded.size() < 2 || decoded.size() % 2)
                continue;
            MappingPaths listed { decoded[0], decoded[1] };
            for (qsizetype i = 2; i + 1 < decoded.size(); i += 2)
                listed.mappings.append({ decoded[i], decoded[i + 1] });
            pathsByNumber.insert(number, int(note.paths.size()));
            note.paths.append(listed);
            continue;
        }
        // An entry whose paths are not listed is left out.
        const int paths = pathsByNumber.value(number, NoPaths);
        if (paths == NoPaths)
            continue;
        if (kind == "unkept" && fields.isValid) {
            note.unkeptPaths.insert(paths);
        } else if (kind == "object") {
            ObjectEntry entry { fields.identity(), paths, false, {} };
            entry.kept = fields.checksum(&entry.isAsCMakeWrote);
            const QByteArray name = fields.rest();
            if (fields.isValid)
                note.objects.insert(name, entry);
        } else if (kind == "index") {
            IndexEntry entry { fields.checksum(), paths, {} };
            entry.kept = fields.checksum();
            const QByteArray name = fields.rest();
            if (fields.isValid)
                note.indexes.insert(name, entry);
        } else if (kind == "database") {
            DatabaseEntry entry { fields.version(paths), {}, {} };
            entry.kept = fields.checksum();
            if (fields.isValid)
                note.database = entry;
        } else if (kind == "replaced") {
            const DatabaseVersion version = fields.version(paths);
            if (fields.isValid)
                replaced = version;
        }
    }
    if (note.database)
        note.database->replaced = replaced;
    return note;
}

QByteArray MappingNote::toText() const
{
    if (isEmpty())
        return QByteArray();
    QByteArray text = HEADER;
    text.reserve(objects.size() * 96 + indexes.size() * 128 + 256);
    // Only paths an entry names are written.
    QSet<int> named = unkeptPaths;
    for (const ObjectEntry &entry : objects)
        named.insert(entry.paths);
    for (const IndexEntry &entry : indexes)
        named.insert(entry.paths);
    if (database)
        named.unite({ database->version.paths, database->replaced ? database->replaced->paths : NoPaths });
    for (qsizetype i = 0; i < paths.size(); ++i) {
        if (!named.contains(int(i)))
            continue;
        text += "paths " + QByteArray::number(i) + ' ' + encodePath(paths[i].sysroot) + ' ' + encodePath(paths[i].workspace);
        for (const PathMapping &mapping : paths[i].mappings)
            text += ' ' + encodePath(mapping.container) + '=' + encodePath(mapping.host).sliced(1);
        text += '\n';
    }
    QList<int> unkept = unkeptPaths.values();
    std::sort(unkept.begin(), unkept.end());
    for (const int id : unkept)
        text.append("unkept ").append(QByteArray::number(id)).append('\n');
    if (database) {
        appendVersion(text, "database", database->version);
        appendChecksum(text, database->kept);
        text.append('\n');
        if (database->replaced) {
            appendVersion(text, "replaced", *database->replaced);
            text.append('\n');
        }
    }
    // A name goes on one line.
    for (auto it = indexes.cbegin(); it != indexes.cend(); ++it) {
        if (it.key().contains('\n'))
            continue;
        text.append("index");
        appendNumber(text, it->paths);
        appendChecksum(text, it->mapped);
        appendChecksum(text, it->kept);
        text.append(' ').append(it.key()).append('\n');
    }
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        if (it.key().contains('\n'))
            continue;
        text.append("object");
        appendNumber(text, it->paths);
        appendIdentity(text, it->identity);
        if (it->isAsCMakeWrote)
            text.append(" =");
        else
            appendChecksum(text, it->kept);
        text.append(' ').append(it.key()).append('\n');
    }
    return text;
}

int MappingNote::pathsIndex(const MappingPaths &mappingPaths)
{
    const qsizetype index = paths.indexOf(mappingPaths);
    if (index >= 0)
        return int(index);
    paths.append(mappingPaths);
    return int(paths.size() - 1);
}
