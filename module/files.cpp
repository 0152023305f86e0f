// The files this module opens itself (files.h).
#include "files.h"

#include "errors.h"

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kvstore {

namespace {

// "~" and 8 hex digits.
constexpr size_t hash_length = 9;

uint32_t name_hash(const char *text, size_t length)
{
    uint32_t hash = 2166136261U;
    for (size_t i = 0; i < length; ++i) {
        hash = (hash ^ static_cast<unsigned char>(text[i])) * 16777619U;
    }
    return hash;
}

}  // namespace

bool temporary_prefix(const char *target, const char *mark, size_t unique, Growing<char> &out)
{
    const char *slash = std::strrchr(target, '/');
    size_t folder_length = slash == nullptr ? 0 : static_cast<size_t>(slash - target) + 1;
    const char *base = target + folder_length;
    size_t base_length = std::strlen(base);
    size_t mark_length = std::strlen(mark);
    size_t most_total = folder_length + base_length + hash_length + mark_length + unique + 1;
    out.resize_down(0);
    if (!out.reserve_more(std::max<size_t>(most_total, 2))) {
        return false;
    }
    char *to = out.data();
    // The folder, alone, for pathconf().
    if (folder_length == 0) {
        std::memcpy(to, ".", 2);
    }
    else {
        std::memcpy(to, target, folder_length);
        to[folder_length == 1 ? 1 : folder_length - 1] = '\0';
    }
    long most = pathconf(to, _PC_NAME_MAX);
    size_t longest = most > 0 ? static_cast<size_t>(most) : NAME_MAX;
    size_t tail = mark_length + unique;
    size_t kept = base_length;
    bool shortened = base_length + tail > longest;
    if (shortened) {
        kept = longest > tail + hash_length ? longest - tail - hash_length : 0;
        kept = std::min(kept, base_length);
        // Not inside a character: a UTF-8 continuation byte stays with it.
        while (kept > 0 && (static_cast<unsigned char>(base[kept]) & 0xc0) == 0x80) {
            --kept;
        }
    }
    std::memcpy(to, target, folder_length + kept);
    size_t length = folder_length + kept;
    if (shortened) {
        std::snprintf(to + length, hash_length + 1, "~%08x",
                      static_cast<unsigned>(name_hash(base, base_length)));
        length += hash_length;
    }
    std::memcpy(to + length, mark, mark_length + 1);
    out.extend(length + mark_length);
    return true;
}

void MadeFile::remove() noexcept
{
    struct stat now;
    int saved = errno;
    if (name_ != nullptr && getpid() == maker_ && lstat(name_, &now) == 0 &&
        now.st_dev == device_ && now.st_ino == inode_) {
        unlink(name_);
    }
    name_ = nullptr;
    errno = saved;
}

bool claim_made_file(int fd, const char *name)
{
    struct stat made;
    struct stat named;
    // A file system without flock() (it fails otherwise) has no sweep
    // either: the sweep removes only what it could lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
        return false;
    }
    // A sweep may have taken the lock and removed the file between its
    // creation and the lock: the name then leads nowhere, or elsewhere.
    if (fstat(fd, &made) != 0 || lstat(name, &named) != 0 || made.st_dev != named.st_dev ||
        made.st_ino != named.st_ino) {
        errno = EEXIST;
        return false;
    }
    return true;
}

void drop_unclaimed_file(int fd, const char *name)
{
    int saved = errno;
    struct stat made;
    struct stat named;
    if (fstat(fd, &made) == 0 && lstat(name, &named) == 0 && made.st_dev == named.st_dev &&
        made.st_ino == named.st_ino) {
        unlink(name);
    }
    close(fd);
    errno = saved;
}

void sweep_leftovers(const char *prefix, size_t length, size_t unique, const char *alphabet)
{
    int saved = errno;
    const char *slash = nullptr;
    for (const char *at = prefix; at < prefix + length; ++at) {
        if (*at == '/') {
            slash = at;
        }
    }
    const char *start = slash == nullptr ? prefix : slash + 1;
    size_t start_length = length - static_cast<size_t>(start - prefix);
    int folder;
    if (slash == nullptr) {
        folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    else {
        // On the stack: the sweep allocates nothing that could fail the call.
        char name[PATH_MAX];
        size_t folder_length = slash == prefix ? 1 : static_cast<size_t>(slash - prefix);
        if (folder_length >= sizeof name) {
            errno = saved;
            return;
        }
        std::memcpy(name, prefix, folder_length);
        name[folder_length] = '\0';
        folder = open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    DIR *entries = folder < 0 ? nullptr : fdopendir(folder);
    if (entries == nullptr) {
        if (folder >= 0) {
            close(folder);
        }
        errno = saved;
        return;
    }
    while (const dirent *entry = readdir(entries)) {
        const char *name = entry->d_name;
        size_t name_length = std::strlen(name);
        if (name_length != start_length + unique || std::memcmp(name, start, start_length) != 0 ||
            std::strspn(name + start_length, alphabet) != unique) {
            continue;
        }
        // Not through a link, and without waiting on a FIFO.
        int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat held;
        struct stat named;
        if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
            unlinkat(folder, name, 0);
        }
        close(fd);
    }
    closedir(entries);
    errno = saved;
}

bool ensure_regular(module_state *state, const struct stat &status, const char *name)
{
    if (S_ISDIR(status.st_mode)) {
        raise_failure(state, system_failure(EISDIR, std::strerror(EISDIR), name));
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        raise_failure(state, system_failure(EINVAL, "Not a regular file", name));
        return false;
    }
    return true;
}

}  // namespace kvstore
