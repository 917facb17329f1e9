// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

#include "cmakeapimapper.h"

#include <QtCore/QByteArrayView>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QList>
#include <QtCore/QStringView>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The tests build the mapper again with DORVANE_NO_AVX2, and with
// DORVANE_NO_SSE2 as well, so that every scan path runs on any machine.
#if defined(__SSE2__) && !defined(DORVANE_NO_SSE2)
#define DORVANE_SSE2
#include <emmintrin.h>
#if defined(__x86_64__) && defined(__GNUC__) && !defined(DORVANE_NO_AVX2)
#define DORVANE_AVX2_DISPATCH
#include <immintrin.h>
#endif
#endif

namespace {

constexpr char CMAKE_API_REPLY_PATH[] = ".cmake/api/v1/reply";
constexpr char CMAKE_API_QUERY_PATH[] = ".cmake/api/v1/query";

enum DirectoryRule : unsigned {
    IncludeRule = 0x1,
    LibraryRule = 0x2,
    ShareRule = 0x4,
    AllDirectoryRules = IncludeRule | LibraryRule | ShareRule,
};

struct RuleSet
{
    // The directory rules that take part; the workspace rule always does.
    unsigned directoryRules = AllDirectoryRules;
    // The reply-text set. Its library rule also takes /usr/lib64 and never
    // starts right after "-specs=", so that specs files stay where they are.
    // Its text is JSON, so a match never starts at an escaped slash ("\/") and
    // a cross toolchain root never runs past the end of a JSON string.
    bool replyText = true;
};

struct PathMatch
{
    qsizetype begin = 0;
    qsizetype directoryBegin = 0; // where the kept system directory starts
    qsizetype end = 0;
    bool isWorkspace = false;
};

template <typename Char>
bool isWordCharacter(Char c)
{
    const auto u = static_cast<std::make_unsigned_t<Char>>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_';
}

// Reply files run to hundreds of MB, and the two scans below see every byte:
// they skip whole blocks with vector instructions, AVX2 where the processor
// has it (chosen at run time), SSE2 otherwise, and leave the last few bytes,
// and the exact position within a block, to plain code.
#ifdef DORVANE_AVX2_DISPATCH
bool hasAvx2()
{
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

__attribute__((target("avx2"))) const char *skipToCandidateAvx2(const char *p, const char *last)
{
    for (; last - p >= 32; p += 32) {
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1));
        const __m256i seconds = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(second, _mm256_set1_epi8('u')),
                                                                _mm256_cmpeq_epi8(second, _mm256_set1_epi8('o'))),
                                                _mm256_cmpeq_epi8(second, _mm256_set1_epi8('w')));
        const __m256i slashes = _mm256_cmpeq_epi8(first, _mm256_set1_epi8('/'));
        if (const unsigned mask = unsigned(_mm256_movemask_epi8(_mm256_and_si256(slashes, seconds))))
            return p + __builtin_ctz(mask);
    }
    return p;
}

__attribute__((target("avx2"))) const char *skipPlainAsciiAvx2(const char *p, const char *end)
{
    const __m256i carriageReturn = _mm256_set1_epi8('\r');
    for (; end - p >= 64; p += 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
        const __m256i returns = _mm256_or_si256(_mm256_cmpeq_epi8(a, carriageReturn), _mm256_cmpeq_epi8(b, carriageReturn));
        // Non-ASCII bytes and matched carriage returns both have the top bit set.
        if (_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(a, b), returns)))
            return p;
    }
    return p;
}
#endif

const char *skipToCandidate(const char *p, [[maybe_unused]] const char *last)
{
#ifdef DORVANE_AVX2_DISPATCH
    if (hasAvx2())
        return skipToCandidateAvx2(p, last);
#endif
#ifdef DORVANE_SSE2
    for (; last - p >= 16; p += 16) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
        const __m128i seconds = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(second, _mm_set1_epi8('u')),
                                                          _mm_cmpeq_epi8(second, _mm_set1_epi8('o'))),
                                             _mm_cmpeq_epi8(second, _mm_set1_epi8('w')));
        const __m128i slashes = _mm_cmpeq_epi8(first, _mm_set1_epi8('/'));
        if (const unsigned mask = unsigned(_mm_movemask_epi8(_mm_and_si128(slashes, seconds))))
            return p + __builtin_ctz(mask);
    }
#endif
    return p;
}

// Every rule starts with "/usr/", "/opt/" or "/workspace", so a match can only
// start at a slash followed by 'u', 'o' or 'w'.
qsizetype nextCandidate(const char *text, qsizetype from, qsizetype size)
{
    const char *const last = text + size - 1; // a match needs at least two characters
    for (const char *p = skipToCandidate(text + from, last); p < last; ++p) {
        if (*p == '/' && (p[1] == 'u' || p[1] == 'o' || p[1] == 'w'))
            return p - text;
    }
    return -1;
}

qsizetype nextCandidate(const char16_t *text, qsizetype from, qsizetype size)
{
    for (qsizetype p = from; p + 1 < size; ++p) {
        if (text[p] == u'/' && (text[p + 1] == u'u' || text[p + 1] == u'o' || text[p + 1] == u'w'))
            return p;
    }
    return -1;
}

// Finds the matches of one rule set in one left-to-right scan of the text as
// it was read. At each position at most one rule can match, and scanning goes
// on after a match, so inserted text is never looked at again. The rules match
// exactly what these patterns match, the workspace rule being the plain text
// "/workspace":
//   include  (/opt/cross/[^/]+/sys-root)?(/usr/(local/)?include\b)
//   library  (?:(?<!-specs=))(/opt/cross/[^/]+/sys-root)?(/usr/lib(64)?\b)  (reply text)
//            (/opt/cross/[^/]+/sys-root)?(/usr/lib\b)                      (cache entries)
//   share    (/opt/cross/[^/]+/sys-root)?(/usr/share\b)
// where \b counts only ASCII letters, digits and '_' as word characters.
template <typename Char>
class PathScanner
{
public:
    PathScanner(const Char *text, qsizetype size, RuleSet rules)
        : text(text), size(size), rules(rules)
    {
    }

    bool next(qsizetype from, PathMatch &match) const
    {
        for (qsizetype candidate = nextCandidate(text, from, size); candidate >= 0;
             candidate = nextCandidate(text, candidate + 1, size)) {
            if (matchAt(candidate, match))
                return true;
        }
        return false;
    }

private:
    template <qsizetype N>
    bool startsWith(qsizetype pos, const char (&literal)[N]) const
    {
        constexpr qsizetype length = N - 1;
        if (size - pos < length)
            return false;
        for (qsizetype i = 0; i < length; ++i) {
            if (text[pos + i] != Char(literal[i]))
                return false;
        }
        return true;
    }

    bool isBoundary(qsizetype pos) const { return pos == size || !isWordCharacter(text[pos]); }

    bool isEscaped(qsizetype pos) const
    {
        qsizetype backslashes = 0;
        while (pos - backslashes > 0 && text[pos - backslashes - 1] == Char('\\'))
            ++backslashes;
        return backslashes % 2 == 1;
    }

    // The end of a system directory starting at pos, or -1.
    qsizetype systemDirectoryEnd(qsizetype pos, unsigned &rule) const
    {
        if (!startsWith(pos, "/usr/"))
            return -1;
        const qsizetype name = pos + 5;
        qsizetype end = -1;
        if (startsWith(name, "include")) {
            rule = IncludeRule;
            end = name + 7;
        } else if (startsWith(name, "local/include")) {
            rule = IncludeRule;
            end = name + 13;
        } else if (startsWith(name, "share")) {
            rule = ShareRule;
            end = name + 5;
        } else if (startsWith(name, "lib")) {
            rule = LibraryRule;
            end = name + 3;
            if (rules.replyText && startsWith(end, "64") && isBoundary(end + 2))
                return end + 2;
        }
        return end >= 0 && isBoundary(end) ? end : -1;
    }

    bool matchAt(qsizetype pos, PathMatch &match) const
    {
        if (rules.replyText && isEscaped(pos))
            return false;
        if (text[pos + 1] == Char('w')) {
            if (!startsWith(pos, "/workspace"))
                return false;
            match = { pos, pos, pos + 10, true };
            return true;
        }
        qsizetype directoryBegin = pos;
        if (startsWith(pos, "/opt/cross/")) {
            // [^/]+ cannot give back characters to "/sys-root", so the root
            // either ends at the next slash or is not there at all.
            qsizetype nameEnd = pos + 11;
            while (nameEnd < size && text[nameEnd] != Char('/')) {
                if (rules.replyText && text[nameEnd] == Char('"') && !isEscaped(nameEnd))
                    return false;
                ++nameEnd;
            }
            if (nameEnd == pos + 11 || !startsWith(nameEnd, "/sys-root"))
                return false;
            directoryBegin = nameEnd + 9;
        }
        unsigned rule = 0;
        const qsizetype end = systemDirectoryEnd(directoryBegin, rule);
        if (end < 0 || !(rules.directoryRules & rule))
            return false;
        if (rule == LibraryRule && rules.replyText && pos >= 7 && startsWith(pos - 7, "-specs="))
            return false;
        match = { pos, directoryBegin, end, false };
        return true;
    }

    const Char *text;
    qsizetype size;
    RuleSet rules;
};

// QByteArray::append() goes through insert(); this runs for every match.
void appendRange(QByteArray &out, const char *from, qsizetype length)
{
    const qsizetype used = out.size();
    out.resize(used + length);
    std::memcpy(out.data() + used, from, length);
}

void appendRange(QString &out, const char16_t *from, qsizetype length)
{
    out.append(reinterpret_cast<const QChar *>(from), length);
}

// Appends the text to out with each match replaced by the sysroot path and
// the matched system directory (dropping any cross toolchain root), or by the
// workspace path. When nothing matches, returns false and leaves out alone,
// so that the caller can use the text as it is.
template <typename Text, typename Char>
bool appendRewritten(Text &out, const Char *data, qsizetype size, RuleSet rules, const Text &sysroot,
                     const Text &workspace)
{
    const PathScanner<Char> scanner(data, size, rules);
    PathMatch match;
    if (!scanner.next(0, match))
        return false;
    out.reserve(out.size() + size + size / 8 + 4 * (sysroot.size() + workspace.size()));
    const auto *const sysrootData = reinterpret_cast<const Char *>(sysroot.constData());
    const auto *const workspaceData = reinterpret_cast<const Char *>(workspace.constData());
    qsizetype done = 0;
    do {
        appendRange(out, data + done, match.begin - done);
        if (match.isWorkspace) {
            appendRange(out, workspaceData, workspace.size());
        } else {
            appendRange(out, sysrootData, sysroot.size());
            appendRange(out, data + match.directoryBegin, match.end - match.directoryBegin);
        }
        done = match.end;
    } while (scanner.next(done, match));
    appendRange(out, data + done, size - done);
    return true;
}

// A path as the content of a JSON string, escaped the way Qt's JSON writer
// escapes strings, so that the reply stays valid JSON and decodes to the path.
QByteArray jsonEscaped(const QString &path)
{
    static constexpr char hexDigits[] = "0123456789abcdef";
    const QByteArray utf8 = path.toUtf8();
    QByteArray escaped;
    escaped.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '"': escaped += "\\\""; break;
        case '\\': escaped += "\\\\"; break;
        case '\b': escaped += "\\b"; break;
        case '\f': escaped += "\\f"; break;
        case '\n': escaped += "\\n"; break;
        case '\r': escaped += "\\r"; break;
        case '\t': escaped += "\\t"; break;
        default:
            if (uchar(c) < 0x20) {
                escaped += "\\u00";
                escaped += hexDigits[uchar(c) >> 4];
                escaped += hexDigits[uchar(c) & 0xf];
            } else {
                escaped += c;
            }
        }
    }
    return escaped;
}

// The temporary file being written, so that a signal that ends the run does
// not leave it behind.
char pendingTemporaryFile[PATH_MAX];
volatile sig_atomic_t hasPendingTemporaryFile = 0;

void removePendingTemporaryFile(int signalNumber)
{
    if (hasPendingTemporaryFile)
        unlink(pendingTemporaryFile);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void installTemporaryFileCleanup()
{
    for (const int signalNumber : { SIGHUP, SIGINT, SIGTERM }) {
        struct sigaction current = {};
        if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
            continue;
        struct sigaction cleanup = {};
        cleanup.sa_handler = removePendingTemporaryFile;
        sigemptyset(&cleanup.sa_mask);
        sigaction(signalNumber, &cleanup, nullptr);
    }
}

void setPendingTemporaryFile(const QByteArray &path)
{
    hasPendingTemporaryFile = 0;
    if (path.size() < qsizetype(sizeof pendingTemporaryFile)) {
        std::memcpy(pendingTemporaryFile, path.constData(), path.size() + 1);
        hasPendingTemporaryFile = 1;
    }
}

bool readToEnd(int fd, qsizetype sizeHint, QByteArray &content)
{
    // Room for one byte more than the file's size, so that the read which
    // finds the end of the file is not the one that fills the buffer. The
    // buffer is reused from file to file: it only ever grows.
    if (content.capacity() <= sizeHint) {
        content.resize(0);
        content.reserve(sizeHint + sizeHint / 4 + 1);
    }
    content.resize(sizeHint + 1);
    qsizetype used = 0;
    for (;;) {
        if (used == content.size())
            content.resize(used * 2);
        const ssize_t count = ::read(fd, content.data() + used, content.size() - used);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return false;
        if (count == 0)
            break;
        used += count;
    }
    content.truncate(used);
    return true;
}

bool writeAll(int fd, const QByteArray &content)
{
    const char *data = content.constData();
    qsizetype left = content.size();
    while (left > 0) {
        const ssize_t count = ::write(fd, data, left);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        data += count;
        left -= count;
    }
    return true;
}

// Whether the text holds only ASCII and no carriage return, as reply files
// nearly always do: then it needs neither the carriage returns dropped nor a
// check that it is UTF-8.
bool isPlainAscii(const char *text, qsizetype size)
{
    const char *p = text;
    const char *const end = text + size;
#ifdef DORVANE_AVX2_DISPATCH
    if (hasAvx2())
        p = skipPlainAsciiAvx2(p, end);
#endif
#ifdef DORVANE_SSE2
    for (; end - p >= 16; p += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        if (_mm_movemask_epi8(_mm_or_si128(block, _mm_cmpeq_epi8(block, _mm_set1_epi8('\r')))))
            break;
    }
#endif
    for (; p < end; ++p) {
        if (uchar(*p) >= 0x80 || *p == '\r')
            return false;
    }
    return true;
}

// Text mode as the reply has always been read: carriage returns dropped.
void removeCarriageReturns(QByteArray &content)
{
    char *const begin = content.data();
    char *const end = begin + content.size();
    char *out = static_cast<char *>(std::memchr(begin, '\r', end - begin));
    if (!out)
        return;
    for (char *in = out + 1; in < end;) {
        char *next = static_cast<char *>(std::memchr(in, '\r', end - in));
        if (!next)
            next = end;
        std::memmove(out, in, next - in);
        out += next - in;
        in = next + 1;
    }
    content.truncate(out - begin);
}

// The fallback when no temporary file can be made beside the file, say in a
// read-only directory. Not atomic, so on a failed write the old content is
// put back.
bool rewriteInPlace(const char *path, const QByteArray &content)
{
    const int fd = ::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat status;
    QByteArray original;
    bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && readToEnd(fd, status.st_size, original)
            && lseek(fd, 0, SEEK_SET) == 0;
    if (ok && !(writeAll(fd, content) && ftruncate(fd, content.size()) == 0)) {
        if (lseek(fd, 0, SEEK_SET) == 0 && writeAll(fd, original))
            ftruncate(fd, original.size());
        ok = false;
    }
    return ::close(fd) == 0 && ok;
}

// Replaces the content of a regular file through a temporary file beside it
// and a rename, so that the file is either wholly old or wholly new. Through a
// symbolic link the link stays and the file it points to is replaced.
bool replaceContent(const QByteArray &filePath, bool isSymLink, const struct stat &status,
                    const QByteArray &content)
{
    QByteArray target = filePath;
    if (isSymLink) {
        char *const resolved = realpath(filePath.constData(), nullptr);
        if (!resolved)
            return false;
        target = resolved;
        std::free(resolved);
    }
    // The rename would succeed on a file we may not write; refuse it as a
    // direct write would.
    if (faccessat(AT_FDCWD, target.constData(), W_OK, AT_EACCESS) != 0)
        return false;

    QByteArray temporaryPath = target.left(target.lastIndexOf('/') + 1) + ".dorvane-XXXXXX";
    const int fd = mkostemp(temporaryPath.data(), O_CLOEXEC);
    if (fd < 0)
        return rewriteInPlace(target.constData(), content);
    setPendingTemporaryFile(temporaryPath);

    static const uid_t effectiveUser = geteuid();
    static const gid_t effectiveGroup = getegid();
    const bool keepsOwner = (status.st_uid == effectiveUser && status.st_gid == effectiveGroup)
            || fchown(fd, status.st_uid, status.st_gid) == 0;
    const bool keepsMode = keepsOwner && fchmod(fd, status.st_mode & 07777) == 0;
    const bool written = keepsMode && writeAll(fd, content);
    const bool closed = ::close(fd) == 0;
    const bool replaced = written && closed && rename(temporaryPath.constData(), target.constData()) == 0;
    if (!replaced)
        unlink(temporaryPath.constData());
    hasPendingTemporaryFile = 0;
    // Only an in-place write keeps an owner or mode we cannot set.
    return keepsMode ? replaced : rewriteInPlace(target.constData(), content);
}

struct ReplyFile
{
    QByteArray name;
    QString sortKey;
    bool isSymLink = false;
};

// Lists the reply files: regular files and links, hidden names left out,
// sorted by name ignoring case. A reply path that is no directory lists as
// empty; a directory that cannot be read is a failure.
bool listReplyFiles(QList<ReplyFile> &files)
{
    DIR *const directory = opendir(CMAKE_API_REPLY_PATH);
    if (!directory)
        return errno == ENOTDIR || errno == ENOENT;
    const int directoryFd = dirfd(directory);
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent *const entry = readdir(directory);
        if (!entry) {
            ok = errno == 0;
            break;
        }
        if (entry->d_name[0] == '.')
            continue;
        unsigned char type = entry->d_type;
        struct stat status;
        if (type == DT_UNKNOWN && fstatat(directoryFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0)
            type = S_ISLNK(status.st_mode) ? DT_LNK : S_ISREG(status.st_mode) ? DT_REG : DT_UNKNOWN;
        // A link is followed when its file is rewritten: only links to regular files are.
        if (type != DT_REG && type != DT_LNK)
            continue;
        const QByteArray name(entry->d_name);
        files.append({ name, QFile::decodeName(name).toLower(), type == DT_LNK });
    }
    closedir(directory);
    // Names that differ only in case keep a fixed order: by their bytes.
    std::sort(files.begin(), files.end(), [](const ReplyFile &a, const ReplyFile &b) {
        const int byKey = a.sortKey.compare(b.sortKey);
        return byKey != 0 ? byKey < 0 : a.name < b.name;
    });
    return ok;
}

} // namespace

CmakeApiMapper::CmakeApiMapper(const QString &sysrootPath, const QString &workspacePath)
    : sysrootPath(sysrootPath),
      workspacePath(workspacePath),
      jsonSysrootPath(jsonEscaped(sysrootPath)),
      jsonWorkspacePath(jsonEscaped(workspacePath))
{
}

bool CmakeApiMapper::isReplyExist()
{
    return QFile::exists(QString::fromLatin1(CMAKE_API_REPLY_PATH));
}

bool CmakeApiMapper::isQueryExist()
{
    return QFile::exists(QString::fromLatin1(CMAKE_API_QUERY_PATH));
}

bool CmakeApiMapper::DoCMakeApiPathMapping()
{
    QList<ReplyFile> files;
    if (!listReplyFiles(files))
        return false;
    installTemporaryFileCleanup();
    const QByteArray replyDirectory = QByteArray(CMAKE_API_REPLY_PATH) + '/';
    // Index files go last: a reader that finds a new index can trust that the
    // objects it names are already rewritten.
    for (const bool indexPass : { false, true }) {
        for (const ReplyFile &file : std::as_const(files)) {
            if (file.name.startsWith("index-") != indexPass)
                continue;
            if (!doCMakeApiReplyPathMapping(replyDirectory + file.name, file.isSymLink, file.name.startsWith("cache-")))
                return false;
        }
    }
    return QDir(QString::fromLatin1(CMAKE_API_QUERY_PATH)).removeRecursively();
}

QByteArray CmakeApiMapper::rewriteReplyText(const QByteArray &text)
{
    QByteArray out;
    return appendRewritten(out, text.constData(), text.size(), RuleSet(), jsonSysrootPath, jsonWorkspacePath) ? out : text;
}

bool CmakeApiMapper::doCMakeApiReplyPathMapping(const QByteArray &filePath, bool isSymLink, bool isCacheReply)
{
    // Only regular files are rewritten. A broken link or a link to a directory
    // is no reply file, and a link to a FIFO, socket or device is never opened:
    // opening a FIFO waits for a writer.
    struct stat status;
    if (isSymLink && (stat(filePath.constData(), &status) != 0 || !S_ISREG(status.st_mode)))
        return true;
    const int fd = ::open(filePath.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool hasStatus = fstat(fd, &status) == 0;
    if (!hasStatus || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return hasStatus; // turned into something else since it was listed: skipped
    }
    QByteArray &content = fileContent;
    const bool read = readToEnd(fd, status.st_size, content);
    ::close(fd);
    if (!read)
        return false;

    if (!isPlainAscii(content.constData(), content.size())) {
        removeCarriageReturns(content);
        // Decoding bytes that are not UTF-8 would write replacement
        // characters back in their place.
        if (!QByteArrayView(content).isValidUtf8())
            return false;
        if (content.startsWith("\xEF\xBB\xBF"))
            content.remove(0, 3);
    }
    if (isCacheReply)
        return doCMakeApiCacheReplyPathMapping(content) && replaceContent(filePath, isSymLink, status, content);
    rewrittenContent.resize(0);
    const bool changed = appendRewritten(rewrittenContent, content.constData(), content.size(), RuleSet(),
                                         jsonSysrootPath, jsonWorkspacePath);
    return replaceContent(filePath, isSymLink, status, changed ? rewrittenContent : content);
}

QString CmakeApiMapper::rewriteCacheValue(const QString &name, const QString &value)
{
    RuleSet rules;
    rules.replyText = false;
    if (name == u"INCLUDE_INSTALL_DIR")
        rules.directoryRules &= ~IncludeRule;
    // Flags name libraries as the build environment links them, -L/usr/lib
    // included, and install directories are where the project installs to.
    if (name == u"LIB_INSTALL_DIR" || isFlagCacheVariable(name))
        rules.directoryRules &= ~LibraryRule;
    if (name == u"SHARE_INSTALL_PREFIX")
        rules.directoryRules &= ~ShareRule;
    QString out;
    return appendRewritten(out, QStringView(value).utf16(), value.size(), rules, sysrootPath, workspacePath) ? out : value;
}

bool CmakeApiMapper::doCMakeApiCacheReplyPathMapping(QByteArray &text)
{
    QJsonObject cache = QJsonDocument::fromJson(text).object();
    if (cache.value(u"kind") != QJsonValue(QStringLiteral("cache")))
        return false;
    QJsonArray entries = cache.value(u"entries").toArray();
    for (qsizetype i = 0; i < entries.size(); ++i) {
        // Only string values are mapped. An element that is no object (so has
        // no value), or an entry whose value is no string, is kept as it is:
        // CMake writes neither, and rewriting them would lose what they hold.
        QJsonObject entry = entries.at(i).toObject();
        const QJsonValue value = entry.value(u"value");
        if (!value.isString())
            continue;
        entry.insert(QStringLiteral("value"), rewriteCacheValue(entry.value(u"name").toString(), value.toString()));
        entries.replace(i, entry);
    }
    cache.insert(QStringLiteral("entries"), entries);
    text = QJsonDocument(cache).toJson(QJsonDocument::Indented);
    return true;
}

bool CmakeApiMapper::isFlagCacheVariable(const QString &name)
{
    return name == u"CMAKE_CXX_FLAGS" || name == u"CMAKE_EXE_LINKER_FLAGS" || name == u"CMAKE_MODULE_LINKER_FLAGS"
            || name == u"CMAKE_SHARED_LINKER_FLAGS";
}
