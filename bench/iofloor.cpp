// Copyright (C) 2026 The Dorvane developers.
// SPDX-License-Identifier: MIT

// The least a safe rewrite of a reply has to do: read every file of the reply
// directory and replace it through a temporary file beside it and a rename,
// keeping its mode and transforming nothing. The benchmark's floor. Given a
// file instead of a directory, it does the same for that file alone.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Grows without filling, and is kept from file to file.
struct Buffer
{
    std::unique_ptr<char[]> data;
    size_t capacity = 0;
};

static bool replace(const std::string &directory, const std::string &name, Buffer &buffer)
{
    const std::string path = directory + '/' + name;
    const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (in < 0 || fstat(in, &status) != 0)
        return false;
    const size_t size = status.st_size;
    if (size > buffer.capacity) {
        buffer.capacity = size + size / 4;
        buffer.data.reset(new char[buffer.capacity]);
    }
    for (size_t done = 0; done < size;) {
        const ssize_t count = read(in, buffer.data.get() + done, size - done);
        if (count <= 0)
            return false;
        done += count;
    }
    close(in);

    std::string temporary = directory + "/.floor-XXXXXX";
    const int out = mkostemp(&temporary[0], O_CLOEXEC);
    if (out < 0 || fchmod(out, status.st_mode & 07777) != 0)
        return false;
    for (size_t done = 0; done < size;) {
        const ssize_t count = write(out, buffer.data.get() + done, size - done);
        if (count <= 0)
            return false;
        done += count;
    }
    return close(out) == 0 && rename(temporary.c_str(), path.c_str()) == 0;
}

int main(int argc, char *argv[])
{
    const std::string directory = argc > 1 ? argv[1] : ".cmake/api/v1/reply";
    Buffer buffer;
    struct stat status;
    if (stat(directory.c_str(), &status) == 0 && S_ISREG(status.st_mode))
        return replace(".", directory, buffer) ? 0 : 1;
    DIR *const listing = opendir(directory.c_str());
    if (!listing)
        return 1;
    std::vector<std::string> names;
    while (const dirent *entry = readdir(listing)) {
        if (entry->d_name[0] != '.' && entry->d_type == DT_REG)
            names.emplace_back(entry->d_name);
    }
    closedir(listing);
    std::sort(names.begin(), names.end()); // the order the tool walks in, near enough
    for (const std::string &name : names) {
        if (!replace(directory, name, buffer)) {
            std::perror(name.c_str());
            return 1;
        }
    }
    return 0;
}
