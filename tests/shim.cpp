// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// Preloaded into the tool, holds it at one call to act there as the build
// environment or the user might: DORVANE_SHIM_SWAP="NAME TARGET" makes NAME
// a link to TARGET right before the tool opens it, and
// DORVANE_SHIM_TERMINATE=NAME sends SIGTERM right before the tool renames a
// file over NAME, or exchanges one with it ("NAME before" too); "NAME after",
// right after; "NAME int", SIGINT right before; "NAME kill", SIGKILL right
// before; "NAME second", SIGKILL right before the second such rename; "NAME
// write", a new file "/usr/include" at NAME right before, as CMake would;
// "NAME remove", NAME removed right before, as CMake would. And
// DORVANE_SHIM_LOCKS=FILE adds a line to FILE for each lock a run takes;
// DORVANE_SHIM_WATCHES=NAME fails a watch of NAME as the kernel does where
// the user's inotify watches are used up; DORVANE_SHIM_GONE=NAME removes NAME
// right before each open of it, as CMake would.

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

bool names(const char *path, const char *variable, std::string *rest = nullptr)
{
    const char *value = std::getenv(variable);
    const char *base = std::strrchr(path, '/') ? std::strrchr(path, '/') + 1 : path;
    if (!value)
        return false;
    const std::string setting = value;
    const std::string name = setting.substr(0, setting.find(' '));
    if (rest && setting.find(' ') != std::string::npos)
        *rest = setting.substr(setting.find(' ') + 1);
    return name == base;
}

} // namespace

extern "C" int openat(int directory, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    static bool swapped = false;
    std::string target;
    if (names(path, "DORVANE_SHIM_GONE"))
        unlinkat(directory, path, 0);
    if (!swapped && names(path, "DORVANE_SHIM_SWAP", &target)) {
        swapped = true;
        unlinkat(directory, path, 0);
        symlinkat(target.c_str(), directory, path);
    }
    static const auto real = reinterpret_cast<int (*)(int, const char *, int, ...)>(dlsym(RTLD_NEXT, "openat"));
    return real(directory, path, flags, mode);
}

extern "C" int openat64(int directory, const char *path, int flags, ...) __attribute__((alias("openat")));

extern "C" int renameat2(int fromDirectory, const char *from, int toDirectory, const char *to, unsigned flags)
{
    std::string when;
    static int renames = 0;
    const bool isNamed = names(to, "DORVANE_SHIM_TERMINATE", &when) && (when != "second" || ++renames == 2);
    if (isNamed && when == "write") {
        unlinkat(toDirectory, to, 0);
        const int fd = openat(toDirectory, to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        [[maybe_unused]] const ssize_t written = write(fd, "/usr/include", 12);
        close(fd);
    } else if (isNamed && when == "remove") {
        unlinkat(toDirectory, to, 0);
    } else if (isNamed && when != "after") {
        raise(when == "kill" || when == "second" ? SIGKILL : when == "int" ? SIGINT : SIGTERM);
    }
    static const auto real =
            reinterpret_cast<int (*)(int, const char *, int, const char *, unsigned)>(dlsym(RTLD_NEXT, "renameat2"));
    const int result = real(fromDirectory, from, toDirectory, to, flags);
    if (isNamed && when == "after")
        raise(SIGTERM);
    return result;
}

extern "C" int renameat(int fromDirectory, const char *from, int toDirectory, const char *to)
{
    return renameat2(fromDirectory, from, toDirectory, to, 0);
}

extern "C" int flock(int fd, int operation)
{
    if (const char *log = std::getenv("DORVANE_SHIM_LOCKS"); log && (operation & LOCK_EX)) {
        const int out = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        [[maybe_unused]] const ssize_t written = write(out, "lock\n", 5);
        close(out);
    }
    static const auto real = reinterpret_cast<int (*)(int, int)>(dlsym(RTLD_NEXT, "flock"));
    return real(fd, operation);
}

extern "C" int inotify_add_watch(int fd, const char *path, uint32_t mask)
{
    static const auto real = reinterpret_cast<int (*)(int, const char *, uint32_t)>(dlsym(RTLD_NEXT, "inotify_add_watch"));
    if (names(path, "DORVANE_SHIM_WATCHES")) {
        errno = ENOSPC;
        return -1;
    }
    return real(fd, path, mask);
}
