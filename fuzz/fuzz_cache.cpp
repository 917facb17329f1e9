// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The rewrite of the cache reply, checked against its properties.

#include "cmakeapimapper.h"
#include "fuzzcheck.h"
#include "referencerewrite.h"

#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString sysroot = QStringLiteral("/s\"q\\2\n");
    static const QString workspace = QStringLiteral("/w\x01");
    static CmakeApiMapper mapper(sysroot, workspace);
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    QByteArray text = input;

    // A failure leaves the text as it was.
    if (!mapper.doCMakeApiCacheReplyPathMapping(text)) {
        FUZZ_CHECK(text == input);
        return 0;
    }

    // Every member but the entries' string values survives.
    QJsonParseError error;
    const QJsonObject before = QJsonDocument::fromJson(input).object();
    const QJsonObject after = QJsonDocument::fromJson(text, &error).object();
    FUZZ_CHECK(error.error == QJsonParseError::NoError);
    FUZZ_CHECK(after["kind"] == QJsonValue(QStringLiteral("cache")));
    for (auto it = before.begin(); it != before.end(); ++it)
        FUZZ_CHECK(it.key() == u"entries" || after[it.key()] == it.value());
    FUZZ_CHECK(after.size() == before.size() + !before.contains(u"entries"));
    const QJsonArray entriesBefore = before["entries"].toArray();
    const QJsonArray entriesAfter = after["entries"].toArray();
    FUZZ_CHECK(after["entries"].isArray() && entriesAfter.size() == entriesBefore.size());
    for (qsizetype i = 0; i < entriesBefore.size(); ++i) {
        // value(), not operator[], which adds the member it looks for.
        QJsonObject entry = entriesBefore[i].toObject();
        if (!entry.value(u"value").isString()) {
            FUZZ_CHECK(entriesAfter[i] == entriesBefore[i]);
            continue;
        }
        // The patterns match nothing in a string with a lone surrogate.
        const QString value = entry.value(u"value").toString();
        if (value.isValidUtf16())
            FUZZ_CHECK(entriesAfter[i]["value"]
                       == referenceCacheValue(entry.value(u"name").toString(), value, sysroot, workspace));
        entry.remove(u"value");
        QJsonObject mapped = entriesAfter[i].toObject();
        mapped.remove(u"value");
        FUZZ_CHECK(mapped == entry);
    }
    return 0;
}
