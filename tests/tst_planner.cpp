// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The planner in-process: for a note entry, a file and what is kept of it,
// the provenance it gives, before anything is written.

#include "contenthash.h"
#include "builddirectory.h"
#include "mappingnote.h"
#include "planner.h"
#include "toolrun.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QTemporaryDir>
#include <QtTest/QTest>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(Provenance)

class tst_Planner : public QObject
{
    Q_OBJECT

private slots:
    void plan_data();
    void plan();
    void noteText();
};

namespace {

// What CMake wrote, and the same mapped with /S and /W, and with /A and /W.
const QByteArray cmake = "/usr/include /workspace/a", these = "/S/usr/include /W/a", other = "/A/usr/include /W/a";

// What is kept, in memory, opened as files through memfd.
class KeptInMemory : public KeptStore
{
public:
    ReadResult readKept(const QByteArray &name, QByteArray &content) override
    {
        content = files.value(name);
        return isKept(name) ? ReadResult::Read : ReadResult::Failed;
    }
    ReadResult openKept(const QByteArray &name, FileReader &reader) override
    {
        const QByteArray content = files.value(name);
        const int fd = isKept(name) ? memfd_create("kept", MFD_CLOEXEC) : -1;
        FileStatus status;
        if (fd >= 0 && ::write(fd, content.constData(), size_t(content.size())) == content.size()
            && lseek(fd, 0, SEEK_SET) == 0)
            return reader.adopt(fd, status);
        if (fd >= 0)
            ::close(fd);
        return ReadResult::Failed;
    }
    int unavailable() const override { return 0; }
    bool keptVersionFor(const QByteArray &, quint64, KeptVersion &) const override { return false; }
    bool storeKept(const QByteArray &name, const QByteArray &content) override
    {
        files.insert(name, content);
        keptNames.insert(name);
        return true;
    }
    void addKept(const KeptVersion &) override { }
    void removeKept(const QByteArray &name) override
    {
        files.remove(name);
        keptNames.remove(name);
    }

private:
    QHash<QByteArray, QByteArray> files;
};


} // namespace

void tst_Planner::plan_data()
{
    QTest::addColumn<QString>("kind");
    // The note's entry: which paths it names ("these", "other"), and how it
    // stands to the file and to what is kept.
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("kept"); // empty: nothing kept
    QTest::addColumn<Provenance>("expected");
    const auto row = [](const char *tag, const char *kind, const char *entry, const QByteArray &file,
                        const QByteArray &kept, Provenance expected) {
        QTest::newRow(tag) << kind << entry << file << kept << expected;
    };
    using P = Provenance;
    // Told by the note and the file's status alone.
    row("first run", "object", "", cmake, "", P::Unrecorded);
    row("object noted", "object", "these", these, cmake, P::MappedWithThesePaths);
    row("object as CMake wrote it", "object", "these, as CMake wrote it", "/usr/local/lib", "", P::MappedWithThesePaths);
    row("object noted with other paths", "object", "other", other, cmake, P::MappedWithOtherPaths);
    row("object noted with other paths, kept copy changed", "object", "other", other, "/usr/include", P::NotRecoverable);
    row("object noted with other paths, kept checked by its name", "object", "other, no checksum", other, cmake,
        P::MappedWithOtherPaths);
    row("object noted with other paths, nothing kept", "object", "other", other, "", P::NotRecoverable);
    // The note does not name it as it stands: its content tells.
    row("object copied, mapped with these paths", "object", "these, touched", these, cmake, P::MappedWithThesePaths);
    row("object copied, mapped with other paths", "object", "other, touched", other, cmake, P::MappedWithOtherPaths);
    row("object touched, nothing kept", "object", "other, touched", other, "", P::NotRecoverable);
    row("object written again by CMake", "object", "other, touched", cmake, "", P::AsCMakeWrote);
    row("object as kept", "object", "", cmake, cmake, P::AsCMakeWrote);
    row("note gone, mapped with these paths", "object", "", these, cmake, P::MappedWithThesePaths);
    row("note gone, mapped with other paths", "object", "", other, cmake, P::MappedWithOtherPaths);
    row("note gone, kept copy fails its check", "object", "", these, other, P::Unrecorded);
    row("a run with other paths kept nothing", "object", "unkept by other paths", other, "", P::NotRecoverable);
    row("a run with other paths kept nothing, CMake's", "object", "unkept by other paths", cmake, "", P::AsCMakeWrote);
    // A name with no hash may hold anything new: what is kept tells only
    // where it maps to the file with the paths noted.
    row("no hash in its name, written anew since", "unnamed", "these, touched", "/usr/share/new", cmake, P::Unrecorded);
    row("no hash in its name, copied, mapped with other paths", "unnamed", "other, touched", other, cmake,
        P::MappedWithOtherPaths);
    row("no hash in its name, note gone, mapped with other paths", "unnamed", "", other, cmake, P::NotRecoverable);
    row("no hash in its name, note gone, a killed run's version kept", "unnamed", "", cmake, these.left(7), P::Unrecorded);

    // An index, by the checksum of what this tool wrote.
    row("index noted", "index", "these", these, cmake, P::MappedWithThesePaths);
    row("index noted with other paths", "index", "other", other, cmake, P::MappedWithOtherPaths);
    row("index noted with other paths, nothing kept", "index", "other", other, "", P::NotRecoverable);
    row("index a run left before it wrote it", "index", "these, touched", cmake, cmake, P::MappedWithOtherPaths);
    row("index CMake wrote", "index", "these, touched", cmake, "", P::AsCMakeWrote);
    row("index, note gone, mapped with these paths", "index", "", these, cmake, P::MappedWithThesePaths);
    row("index, note gone, mapped with other paths", "index", "", other, cmake, P::MappedWithOtherPaths);

    // The database, by the identity of what this tool wrote, or its checksum.
    row("database noted", "database", "these", these, cmake, P::MappedWithThesePaths);
    row("database noted, copied since", "database", "these, touched", these, cmake, P::MappedWithThesePaths);
    row("database noted with other paths", "database", "other", other, cmake, P::MappedWithOtherPaths);
    row("database noted with other paths, nothing kept", "database", "other", other, "", P::NotRecoverable);
    row("database noted with other paths, a copy kept that the note does not name", "database", "other, no checksum",
        other, cmake, P::NotRecoverable);
    row("database a run was replacing", "database", "other, replaced", other, cmake, P::MappedWithOtherPaths);
    row("database CMake wrote", "database", "these, touched", cmake, cmake, P::AsCMakeWrote);
    row("database, note gone, mapped with these paths", "database", "", these, cmake, P::MappedWithThesePaths);
    row("database, note gone, CMake's", "database", "", cmake, cmake, P::AsCMakeWrote);
}

void tst_Planner::plan()
{
    QFETCH(QString, kind);
    QFETCH(QString, entry);
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, kept);
    QFETCH(Provenance, expected);

    QTemporaryDir build;
    QVERIFY2(build.isValid(), qPrintable(build.errorString()));
    const QByteArray name = kind == "index" ? "index-1.json"
            : kind == "database"            ? ".compile_commands.json"
            : kind == "unnamed"             ? "extra.json"
                                            : "target-x-" + QCryptographicHash::hash(cmake, QCryptographicHash::Sha3_256).toHex().left(20) + ".json";
    const QString path = kind == "database" ? build.filePath("compile_commands.json")
                                            : build.filePath(".cmake/api/v1/reply/" + name);
    QVERIFY(write(path, file) && QDir().mkpath(build.filePath(".cmake/api/v1/reply")));
    KeptInMemory keptFiles;
    if (!kept.isEmpty())
        keptFiles.storeKept(name, kept);

    struct stat status = {};
    QVERIFY(::stat(QFile::encodeName(path).constData(), &status) == 0);
    FileIdentity identity = { quint64(status.st_dev), quint64(status.st_ino), qint64(status.st_size),
                              qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec };
    if (entry.contains("touched"))
        identity.inode += 1;
    MappingNote note;
    note.paths = { { "/S", "/W" }, { "/A", "/W" } };
    const int paths = entry.startsWith("other") ? 1 : 0;
    const Checksum keptChecksum = entry.contains("no checksum") ? Checksum() : Checksum(checksumOf(cmake));
    if (entry.contains("unkept"))
        note.unkeptPaths.insert(1);
    else if (!entry.isEmpty() && (kind == "object" || kind == "unnamed"))
        note.objects.insert(name, { identity, paths, entry.contains("as CMake wrote"), keptChecksum });
    else if (!entry.isEmpty() && kind == "index")
        note.indexes.insert(name, { checksumOf(entry.contains("touched") ? these : file), paths, keptChecksum });
    else if (entry.contains("replaced"))
        note.database = DatabaseEntry { {}, keptChecksum, DatabaseVersion { checksumOf(file), identity, paths } };
    else if (!entry.isEmpty())
        note.database = DatabaseEntry { { checksumOf(paths ? other : these), identity, paths }, keptChecksum, {} };

    RunReport report;
    BuildDirectory directory(report);
    QVERIFY(directory.enter(QFile::encodeName(build.path()), kind == "database") && directory.openForRun());
    Plan plan;
    const PathRules rules(note.paths.first());
    const bool isPlanned = Planner(note, 0, rules, directory, keptFiles, report).plan(kind == "database", plan);
    QCOMPARE(isPlanned, expected != Provenance::NotRecoverable);
    QCOMPARE(report.problem().contains("no intact copy of what CMake wrote is kept"), !isPlanned);
    if (!isPlanned)
        return;
    const Provenance planned = kind == "database" ? plan.database->provenance
            : kind == "index"                     ? plan.indexes.value(0).provenance
                                                  : plan.objects.value(0).provenance;
    QCOMPARE(planned, expected);
}

// The note reads back what it writes, every kind of entry and field, and
// reads no note of an earlier format.
void tst_Planner::noteText()
{
    MappingNote note;
    note.paths = { { "", "/w s" }, { "/S", "/W", { { "/opt/a=b", "/h \"x\"" }, { "/opt/c", "" } } }, { "/unnamed", "/W" } };
    note.unkeptPaths = { 1 };
    note.objects.insert("a b.json", { { 1, 2, 3, 4 }, 0, true, {} });
    note.objects.insert("c-0123456789abcdef0123.json", { { 5, 6, 7, 8 }, 1, false, 0xfedcba9876543210 });
    note.objects.insert("d.json", { { 5, 6, 7, 8 }, 1, false, {} });
    note.indexes.insert("index-1.json", { 0x1f, 1, {} });
    note.database = DatabaseEntry { { 0xab, { 9, 10, 11, 12 }, 0 }, 0xcd, DatabaseVersion { 0xef, { 13, 14, 15, 16 }, 1 } };
    const QByteArray text = note.toText();
    QVERIFY(!text.contains("unnamed")); // paths no entry names are not written
    const std::optional<MappingNote> read = MappingNote::fromText(text);
    QVERIFY(read && read->objects.size() == 3 && read->indexes.size() == 1 && read->database);
    QCOMPARE(read->toText(), text);
    for (const char *earlier : { "1", "2", "3" })
        QVERIFY(!MappingNote::fromText(QByteArray(text).replace("files 4", QByteArray("files ") + earlier)));
    QVERIFY(!MappingNote::fromText("anything\n"));
}

QTEST_GUILESS_MAIN(tst_Planner)
#include "tst_planner.moc"
