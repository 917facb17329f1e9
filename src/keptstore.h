// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// What is kept of the files CMake wrote, so that a run with other paths can
// map them again: by the name of the file in the reply, and the database's
// by a name of its own.

#ifndef KEPTSTORE_H
#define KEPTSTORE_H

#include "contenthash.h"
#include "filereplacement.h"
#include "runreport.h"

#include <QtCore/QByteArray>
#include <QtCore/QSet>

// The one interface the planner and the writer keep and read through.
class KeptStore
{
public:
    virtual ~KeptStore() = default;

    bool isKept(const QByteArray &name) const { return keptNames.contains(name); }
    virtual ReadResult readKept(const QByteArray &name, QByteArray &content) = 0;
    virtual ReadResult openKept(const QByteArray &name, FileReader &reader) = 0;
    // Why the store cannot be opened at all, or 0.
    virtual int unavailable() const = 0;
    // Where a replacement of a file on device keeps what it replaces.
    virtual bool keptVersionFor(const QByteArray &name, quint64 device, KeptVersion &version) const = 0;
    virtual bool storeKept(const QByteArray &name, const QByteArray &content) = 0;
    virtual void addKept(const KeptVersion &version) = 0;
    virtual void removeKept(const QByteArray &name) = 0;

    void removeKeptBut(const QSet<QByteArray> &names);
    // Of what is kept where it is what CMake wrote: its content has the
    // checksum expected, or, without one, the hash in its name.
    Checksum intactKeptChecksum(const QByteArray &name, const Checksum &expected);
    // Fails the run for a file at path mapped with other paths that nothing
    // intact kept can map again, with advice; or says what is kept that
    // cannot be read.
    bool refuse(RunReport &report, const QByteArray &name, const QByteArray &path, const QByteArray &advice);

protected:
    // Every name kept, as listed when the store was opened and changed since:
    // each store keeps it true.
    QSet<QByteArray> keptNames;
};

// The kept files' directory, .cmake/api/v1/.dorvane-kept, never read or
// written through a link.
class KeptDirectory : public KeptStore
{
public:
    // Opens and lists it, made where missing with create.
    void openIn(int fileApiFd, bool create);
    int keptDirectoryFd() const { return kept.get(); }

    ReadResult readKept(const QByteArray &name, QByteArray &content) override;
    ReadResult openKept(const QByteArray &name, FileReader &reader) override;
    int unavailable() const override { return keptError; }
    bool keptVersionFor(const QByteArray &name, quint64 device, KeptVersion &version) const override;
    bool storeKept(const QByteArray &name, const QByteArray &content) override;
    void addKept(const KeptVersion &version) override;
    void removeKept(const QByteArray &name) override;

private:
    FileDescriptor kept;
    // Why a kept files' directory that stands there cannot be opened.
    int keptError = 0;
    quint64 keptDevice = 0;
};

#endif // KEPTSTORE_H
