// Descriptors, the files a call makes, and what the files this module
// opens itself must be: database files in open(), dump files in dump() and
// load().
#ifndef KVSTORE_FILES_H
#define KVSTORE_FILES_H

#include "growing.h"
#include "kvstore.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kvstore {

// An open descriptor, closed when its owner goes unless handed on.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    int hand_on() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// A file that this call made: removed when its owner goes, unless kept,
// so that a call that fails leaves nothing behind. It is removed only while
// its name still leads to the file that was made: another process may have
// put a file of its own there meanwhile. And only by the process that made
// it: a child of fork() (made inside a progress callable, say) that
// unwinds through the owner leaves the parent's file to the parent, which
// is still writing it. The name is borrowed and must outlive the owner.
class MadeFile {
public:
    MadeFile() = default;
    MadeFile(const MadeFile &) = delete;
    MadeFile &operator=(const MadeFile &) = delete;
    ~MadeFile() { remove(); }
    // Removes the file now, as the owner's going would.
    void remove() noexcept;
    // `made` is the file's status, from fstat() on its descriptor.
    void record(const char *name, const struct stat &made) noexcept
    {
        name_ = name;
        device_ = made.st_dev;
        inode_ = made.st_ino;
        maker_ = getpid();
    }
    void keep() noexcept { name_ = nullptr; }

private:
    const char *name_ = nullptr;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    pid_t maker_ = 0;
};

// ---- files made beside a target for a while -----------------------------------
//
// The rewrite's new file beside a database (compact(), load()) and a dump's
// unfinished file beside its final name are named after that target, so
// that a later call for the same target finds what a killed process left:
// the target's folder, a stem, a mark (".compact.", ".unfinished-") and
// unique characters. The stem is the target's last part; where that would
// make a name longer than the folder's file system takes (NAME_MAX), it is
// the start of that part, cut at a character's edge, then "~" and 8 hex
// digits of a hash (32-bit FNV-1a) of the whole part, so that the name fits
// wherever the target's fits. kvstore/_leftovers.py builds the same names.

// Writes into `out` the target's folder (as `target` gives it), the stem
// and `mark`, NUL-terminated, with room after it for `unique` characters
// and a NUL; out.size() is the length without the NUL. False with
// MemoryError set.
bool temporary_prefix(const char *target, const char *mark, size_t unique, Growing<char> &out);

// A process killed while it wrote such a file leaves it behind; the next
// call for the same target removes it. What tells a leftover from a file
// that a live process is writing is a lock: its maker takes an exclusive
// flock() on it as soon as it exists, before writing a byte, and holds it
// until the file has taken the target's name or is removed, so a lock that
// can be taken means that its maker is gone. (gdbm 1.23 locks a database
// with flock() too, on the same open file: for the rewrite's new file the
// two are one lock.)
//
// claim_made_file() takes that lock on `fd`, just made under `name`. False
// when the file is no longer the maker's to use: a sweep holds its lock, or
// has removed it already; the caller then makes another under a new name
// (and has closed `fd` and, where it still has its name, removed it).
bool claim_made_file(int fd, const char *name);
// Forgets a file that a claim refused: removes it where `name` still leads
// to `fd`'s file, then closes `fd`. errno is kept.
void drop_unclaimed_file(int fd, const char *name);

// Removes every file of the folder named `prefix` (`length` bytes from
// temporary_prefix(): folder, stem and mark) and `unique` characters of
// `alphabet` that no live process holds: a regular file, not reached through
// a symbolic link, whose lock can be taken, and removed only while its name
// still leads to the file locked. Anything else, and any failure, is left
// alone: the sweep never fails the call it serves.
void sweep_leftovers(const char *prefix, size_t length, size_t unique, const char *alphabet);

// Runs `call`, a system call that may take long (a flush to the disk, the
// freeing of a large file's blocks), with the interpreter's other threads
// running. The object stays marked busy (steps.h), so none of them can
// use it meanwhile.
template <class Call>
auto detached(Call call) -> decltype(call())
{
    decltype(call()) result;
    Py_BEGIN_ALLOW_THREADS
    result = call();
    Py_END_ALLOW_THREADS
    return result;
}

// False with `error` set (errno EISDIR for a folder, EINVAL for anything
// else, with the name) unless `status` is a regular file's: a FIFO would
// block, a device or a folder is no file to read or replace.
bool ensure_regular(module_state *state, const struct stat &status, const char *name);

}  // namespace kvstore

#endif
