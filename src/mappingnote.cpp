// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The note's text, in its second format and its first, which named no
// paths; and the checksum it names the compilation database by, taken with
// libxxhash.

#include "mappingnote.h"

#include <QtCore/QHash>

#include <algorithm>
#include <charconv>

namespace {

// A header line, the paths entries name by number, then one line an entry:
// its kind, its fields, and last, for a reply file, its name, which may hold
// spaces. Paths are percent-encoded after a colon, so that an empty one
// still fills its field. The first format, which earlier builds wrote, had no
// paths or kept copies, and named the database by its path from the note's
// directory.
constexpr char HEADER[] = "dorvane mapped files 2\n";
constexpr char HEADER_1[] = "dorvane mapped files 1\n";
constexpr char DATABASE_NAME_1[] = "../../../compile_commands.json";

QByteArray encodePath(const QString &path)
{
    return ':' + path.toUtf8().toPercentEncoding("/");
}

// A note names thousands of files, and a second run writes it out again to
// see whether it changed: numbers go straight into the text.
template <typename Number>
void appendNumber(QByteArray &text, Number number, int base = 10)
{
    char digits[24];
    text.append(' ').append(digits, std::to_chars(digits, digits + sizeof digits, number, base).ptr - digits);
}

void appendIdentity(QByteArray &text, const FileIdentity &identity)
{
    appendNumber(text, identity.device);
    appendNumber(text, identity.inode);
    appendNumber(text, identity.size);
    appendNumber(text, identity.modified);
}

// Reads the fields of a line one after the other.
class FieldReader
{
public:
    explicit FieldReader(QByteArrayView line) : line(line) { }

    QByteArrayView next()
    {
        const qsizetype end = line.indexOf(' ', position) < 0 ? line.size() : line.indexOf(' ', position);
        const QByteArrayView field = position <= line.size() ? line.sliced(position, end - position) : QByteArrayView();
        position = end + 1;
        isValid = isValid && !field.isEmpty();
        return field;
    }
    template <typename Number = qint64>
    Number number(int base = 10)
    {
        const QByteArrayView field = next();
        Number value = 0;
        const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value, base);
        isValid = isValid && error == std::errc() && end == field.data() + field.size();
        return value;
    }
    FileIdentity identity()
    {
        const quint64 device = number<quint64>();
        const quint64 inode = number<quint64>();
        const qint64 size = number();
        return { device, inode, size, number() };
    }
    // The rest of the line.
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

MappingNote MappingNote::fromText(const QByteArray &text)
{
    MappingNote note;
    const bool isFirstVersion = text.startsWith(HEADER_1);
    if (!isFirstVersion && !text.startsWith(HEADER))
        return note;
    QHash<qint64, int> pathsByNumber;
    for (const QByteArray &line : text.sliced(sizeof HEADER - 1).split('\n')) {
        FieldReader fields(line);
        const QByteArrayView kind = fields.next();
        // An entry whose paths are not listed is left out.
        constexpr int notListed = -3;
        const qint64 number = kind == "paths" || isFirstVersion ? UnknownPaths : fields.number();
        const int paths = number == UnknownPaths || number == AnyPaths ? int(number) : pathsByNumber.value(number, notListed);
        if (paths == notListed)
            continue;
        if (kind == "paths") {
            const qint64 listed = fields.number();
            const QByteArrayView sysroot = fields.next(), workspace = fields.next();
            if (fields.isValid && sysroot.startsWith(':') && workspace.startsWith(':')) {
                pathsByNumber.insert(listed, int(note.paths.size()));
                note.paths.append({ QString::fromUtf8(QByteArray::fromPercentEncoding(sysroot.sliced(1).toByteArray())),
                                    QString::fromUtf8(QByteArray::fromPercentEncoding(workspace.sliced(1).toByteArray())) });
            }
        } else if (kind == "unkept") {
            if (fields.isValid)
                note.unkeptPaths.insert(paths);
        } else if (kind == "object") {
            const FileIdentity identity = fields.identity();
            const QByteArray name = fields.rest();
            if (fields.isValid)
                note.objects.insert(name, { identity, paths });
        } else if (kind == "index") {
            const QByteArray mappedHash = fields.next().toByteArray();
            const FileIdentity kept = isFirstVersion ? FileIdentity() : fields.identity();
            const QByteArray name = fields.rest();
            if (fields.isValid)
                note.indexes.insert(name, { mappedHash, paths, kept });
        } else if (kind == "database") {
            DatabaseEntry entry;
            entry.checksum = fields.number<quint64>(16);
            entry.identity = fields.identity();
            entry.paths = paths;
            if (!isFirstVersion) {
                entry.kept = fields.identity();
                const qint64 replacedPaths = fields.number();
                entry.replacedPaths = replacedPaths == UnknownPaths ? UnknownPaths : pathsByNumber.value(replacedPaths);
                entry.replacedChecksum = fields.number<quint64>(16);
                entry.replaced = fields.identity();
            }
            if (fields.isValid && (!isFirstVersion || fields.rest() == DATABASE_NAME_1))
                note.database = entry;
        }
    }
    return note;
}

QByteArray MappingNote::toText() const
{
    if (objects.isEmpty() && indexes.isEmpty() && !database && unkeptPaths.isEmpty())
        return QByteArray();
    QByteArray text = HEADER;
    text.reserve(objects.size() * 96 + indexes.size() * 160 + 256);
    // Only paths an entry names are written.
    QList<bool> isNamed(paths.size());
    const auto name = [&isNamed](int id) {
        if (id >= 0)
            isNamed[id] = true;
    };
    for (const ObjectEntry &entry : objects)
        name(entry.paths);
    for (const IndexEntry &entry : indexes)
        name(entry.paths);
    if (database) {
        name(database->paths);
        name(database->replacedPaths);
    }
    for (const int unkept : unkeptPaths)
        name(unkept);
    for (qsizetype i = 0; i < paths.size(); ++i) {
        if (isNamed[i])
            text += "paths " + QByteArray::number(i) + ' ' + encodePath(paths[i].sysroot) + ' '
                    + encodePath(paths[i].workspace) + '\n';
    }
    QList<int> unkept = unkeptPaths.values();
    std::sort(unkept.begin(), unkept.end());
    for (const int id : unkept) {
        text.append("unkept");
        appendNumber(text, id);
        text.append('\n');
    }
    if (database) {
        text.append("database");
        appendNumber(text, database->paths);
        appendNumber(text, database->checksum, 16);
        appendIdentity(text, database->identity);
        appendIdentity(text, database->kept);
        appendNumber(text, database->replacedPaths);
        appendNumber(text, database->replacedChecksum, 16);
        appendIdentity(text, database->replaced);
        text.append('\n');
    }
    // A name goes on one line.
    for (auto it = indexes.cbegin(); it != indexes.cend(); ++it) {
        if (it.key().contains('\n'))
            continue;
        text.append("index");
        appendNumber(text, it->paths);
        text.append(' ').append(it->mappedHash);
        appendIdentity(text, it->kept);
        text.append(' ').append(it.key()).append('\n');
    }
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        if (it.key().contains('\n'))
            continue;
        text.append("object");
        appendNumber(text, it->paths);
        appendIdentity(text, it->identity);
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
