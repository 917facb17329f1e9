// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// A fixed table that the handler reads without allocating: a slot is filled
// by writing its directory last, so the handler only ever sees a whole name.

#include "temporaryfiles.h"

#include "fileio.h"

#include <QtCore/QRandomGenerator>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char PREFIX[] = ".dorvane-";
constexpr int RANDOM_LETTERS = 6;

// A run writes at most two at once: the database's new version, and the
// note's, saved before that version is in place. The table has room to spare.
struct Registered
{
    volatile sig_atomic_t directory = -1;
    char name[NAME_MAX + 1] = {};
};
Registered registered[4];

volatile sig_atomic_t isHeld = 0;
volatile sig_atomic_t heldSignal = 0;
volatile sig_atomic_t isExitOnSignal = 0;

void removeRegistered(int signalNumber)
{
    if (isHeld) {
        heldSignal = signalNumber;
        return;
    }
    for (const Registered &file : registered) {
        if (file.directory >= 0)
            unlinkat(file.directory, file.name, 0);
    }
    if (isExitOnSignal)
        _exit(0);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

bool isLetterOrDigit(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

} // namespace

int TemporaryFiles::registerName(int directoryFd, const QByteArray &name)
{
    if (name.size() > NAME_MAX)
        return -1;
    for (Registered &file : registered) {
        if (file.directory < 0) {
            std::copy(name.begin(), name.end(), file.name);
            file.name[name.size()] = '\0';
            std::atomic_signal_fence(std::memory_order_release);
            file.directory = directoryFd;
            return int(&file - registered);
        }
    }
    return -1;
}

void TemporaryFiles::release(int &slot)
{
    if (slot >= 0)
        registered[slot].directory = -1;
    slot = -1;
}

void TemporaryFiles::removeOnSignal()
{
    for (const int signalNumber : { SIGHUP, SIGINT, SIGTERM }) {
        struct sigaction current = {};
        if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
            continue;
        struct sigaction handler = {};
        handler.sa_handler = removeRegistered;
        sigemptyset(&handler.sa_mask);
        sigaction(signalNumber, &handler, nullptr);
    }
}

void TemporaryFiles::exitOnSignal()
{
    isExitOnSignal = 1;
    removeOnSignal();
}

QByteArray TemporaryFiles::newName()
{
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray name = PREFIX;
    for (int i = 0; i < RANDOM_LETTERS; ++i)
        name += letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))];
    return name;
}

void TemporaryFiles::removeLeftovers(int directoryFd)
{
    constexpr std::string_view prefix = PREFIX;
    // What cannot be removed stays: it is in no one's way.
    forEachEntry(directoryFd, [&](int fd, const char *entry, unsigned char) {
        const std::string_view name = entry;
        struct stat status;
        if (name.size() == prefix.size() + RANDOM_LETTERS && name.substr(0, prefix.size()) == prefix
            && std::all_of(name.begin() + prefix.size(), name.end(), isLetterOrDigit)
            && fstatat(fd, entry, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode))
            unlinkat(fd, entry, 0);
        return true;
    });
}

SignalHold::SignalHold()
{
    isHeld = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

SignalHold::~SignalHold()
{
    std::atomic_signal_fence(std::memory_order_seq_cst);
    isHeld = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (heldSignal)
        removeRegistered(heldSignal);
}
