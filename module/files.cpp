// The files this module opens and makes itself (files.h).
#include "files.h"

#include "errors.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/file.h>

namespace kvstore {

namespace {

// Names tried before a creation gives up.
constexpr int name_attempts = 100;

// Different in each call, across threads and processes alike.
unsigned long unique_number()
{
    static std::atomic<unsigned long> counter{0};
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    unsigned long mixed = static_cast<unsigned long>(t.tv_nsec) * 2654435761UL;
    return mixed ^ (static_cast<unsigned long>(getpid()) << 20) ^ counter.fetch_add(1);
}

void fill_unique(char *to, const TemporaryKind &kind)
{
    size_t letters = std::strlen(kind.alphabet);
    unsigned long number = unique_number();
    for (size_t i = 0; i < kind.unique; ++i) {
        to[i] = kind.alphabet[number % letters];
        number /= letters;
    }
    to[kind.unique] = '\0';
}

bool same_file(const struct stat &one, const struct stat &other)
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Takes the lock (temporary_names.h) on `fd`, just made under `name` in
// `folder`, and reads its status into `made`. False when the file is no
// longer the maker's to use: a sweep holds its lock, or has removed it
// already; the caller then makes another under a new name.
bool claim_made_file(int folder, int fd, const char *name, struct stat &made)
{
    struct stat named;
    // A file system without flock() (it fails otherwise) has no sweep
    // either: the sweep removes only what it could lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
        return false;
    }
    // A sweep may have taken the lock and removed the file between its
    // creation and the lock: the name then leads nowhere, or elsewhere.
    if (fstat(fd, &made) != 0 || fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(made, named)) {
        errno = EEXIST;
        return false;
    }
    return true;
}

}  // namespace

void MadeFile::remove() noexcept
{
    struct stat now;
    int saved = errno;
    if (name_ != nullptr && getpid() == maker_ &&
        fstatat(folder_, name_, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == device_ &&
        now.st_ino == inode_) {
        unlinkat(folder_, name_, 0);
    }
    name_ = nullptr;
    errno = saved;
}

bool ReplacingFile::fail(const char *call)
{
    raise_failure(state_, errno_first(call, shown_));
    return false;
}

bool ReplacingFile::create(const char *target, const TemporaryKind &kind, mode_t mode)
{
    const char *slash = std::strrchr(target, '/');
    target_base_ = slash == nullptr ? target : slash + 1;
    folder_.reset(errno_first_call([target] { return open_folder_of(target); }));
    if (folder_.get() < 0) {
        return fail("open() error");
    }
    int folder = folder_.get();
    if (!temporary_prefix(folder, target, kind, name_)) {
        return false;
    }
    sweep_leftovers(folder, name_.data(), kind);
    char *name = name_.data();
    char *unique = name + name_.size();
    struct stat made;
    for (int attempt = 0; attempt < name_attempts && file_.get() < 0; ++attempt) {
        fill_unique(unique, kind);
        file_.reset(errno_first_call([&] {
            return openat(folder, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        }));
        if (file_.get() < 0 && errno != EEXIST) {
            return fail("open() error");
        }
        // Locked from its creation: a sweep that finds it meanwhile makes
        // the claim fail, and another name is tried. The file is removed
        // where the name still leads to it.
        if (file_.get() >= 0 && !claim_made_file(folder, file_.get(), name, made)) {
            MadeFile unclaimed;
            if (fstat(file_.get(), &made) == 0) {
                unclaimed.record(name, made, folder);
            }
            unclaimed.remove();
            file_.reset(-1);
        }
    }
    if (file_.get() < 0) {
        return fail("open() error");
    }
    name_.extend(kind.unique + 1);
    made_.record(name, made, folder);
    return true;
}

bool ReplacingFile::flush_file(Flush flush)
{
    int fd = file_.get();
    int flushed = errno_first_call([flush, fd] {
        return detached([flush, fd] { return flush == Flush::whole ? fsync(fd) : fdatasync(fd); });
    });
    return flushed == 0 || fail(flush == Flush::whole ? "fsync() error" : "fdatasync() error");
}

bool ReplacingFile::take_name()
{
    int folder = folder_.get();
    const char *name = name_.data();
    // Replacing a large file frees its blocks, which takes a while.
    if (errno_first_call([&] {
            return detached([&] { return renameat(folder, name, folder, target_base_); });
        }) != 0) {
        return fail("rename() error");
    }
    made_.keep();
    renamed_ = true;
    // Some file systems cannot flush a folder, and say so with EINVAL.
    if (errno_first_call([folder] { return detached([folder] { return fsync(folder); }); }) != 0 &&
        errno != EINVAL) {
        return fail("fsync() error");
    }
    return true;
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

namespace {

// What stands at a name where a regular file was wanted, and the error
// number that says so.
struct Kind {
    int number;
    const char *text;
};

Kind kind_of(const struct stat &status)
{
    switch (status.st_mode & S_IFMT) {
    case S_IFLNK:
        return {ELOOP, "Not a regular file but a symbolic link, which is never followed: refused"};
    case S_IFDIR:
        return {EISDIR, "Not a regular file but a folder: refused"};
    case S_IFIFO:
        return {EINVAL, "Not a regular file but a FIFO: refused"};
    case S_IFCHR:
    case S_IFBLK:
        return {EINVAL, "Not a regular file but a device: refused"};
    case S_IFSOCK:
        return {EINVAL, "Not a regular file but a socket: refused"};
    default:
        return {EEXIST, "File exists, made by another than this database: refused"};
    }
}

}  // namespace

int open_beside(module_state *state, const char *name, int flags, mode_t mode)
{
    struct stat status;
    // Told apart before the open, so that a device is never opened at all;
    // fstat() below settles what the open found.
    bool there = lstat(name, &status) == 0;
    if (!there && errno == ENOENT && (flags & O_CREAT) == 0) {
        return -1;
    }
    Descriptor file;
    if (!there || S_ISREG(status.st_mode)) {
        file.reset(errno_first_call(
            [&] { return open(name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode); }));
        if (file.get() < 0) {
            int refused = errno;
            if (refused == ENOENT && (flags & O_CREAT) == 0) {
                return -1;
            }
            // Refused by O_NOFOLLOW or O_EXCL: say what stands there.
            if ((refused != ELOOP && refused != EEXIST) || lstat(name, &status) != 0) {
                errno = refused;
                raise_failure(state, errno_first("open() error", name));
                return -1;
            }
        }
        else if (fstat(file.get(), &status) != 0) {
            raise_failure(state, errno_first("fstat() error", name));
            return -1;
        }
    }
    if (file.get() < 0 || !S_ISREG(status.st_mode)) {
        Kind kind = kind_of(status);
        raise_failure(state, system_failure(kind.number, kind.text, name));
        return -1;
    }
    return file.hand_on();
}

}  // namespace kvstore
