// Descriptors, the files a call makes, and what the files this module
// opens itself must be: database files in open(), dump files in dump() and
// load(), the files the package keeps beside a database.
#ifndef KVSTORE_FILES_H
#define KVSTORE_FILES_H

#include "growing.h"
#include "kvstore.h"
#include "temporary_names.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kvstore {

// An open descriptor, closed when its owner goes unless handed on.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() { reset(-1); }
    int get() const noexcept { return fd_; }
    int hand_on() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd) noexcept
    {
        if (int old = std::exchange(fd_, fd); old >= 0) {
            close(old);
        }
    }

private:
    int fd_;
};

// A file that this call made: removed when its owner goes, unless kept,
// so that a call that fails leaves nothing behind. It is removed only while
// its name still leads to the file that was made: another process may have
// put a file of its own there meanwhile. And only by the process that made
// it: a child of fork() (made inside a progress callable, say) that
// unwinds through the owner leaves the parent's file to the parent, which
// is still writing it. The name is borrowed and must outlive the owner; it
// is taken from the folder open on `folder` (AT_FDCWD: the current one),
// which must outlive the owner too.
class MadeFile {
public:
    MadeFile() = default;
    MadeFile(const MadeFile &) = delete;
    MadeFile &operator=(const MadeFile &) = delete;
    ~MadeFile() { remove(); }
    // Removes the file now, as the owner's going would.
    void remove() noexcept;
    // `made` is the file's status, from fstat() on its descriptor.
    void record(const char *name, const struct stat &made, int folder = AT_FDCWD) noexcept
    {
        folder_ = folder;
        name_ = name;
        device_ = made.st_dev;
        inode_ = made.st_ino;
        maker_ = getpid();
    }
    void keep() noexcept { name_ = nullptr; }

private:
    int folder_ = AT_FDCWD;
    const char *name_ = nullptr;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    pid_t maker_ = 0;
};

// A file made beside a target and renamed over it once complete: a rewritten
// database (compact(), load()), a dump. Until then the target is as it was,
// and a call that fails, or a process that is killed, leaves no file under
// the target's name that is not whole.
//
// The target's folder is opened first and everything happens in it, under
// the names the file and the target have there: a folder renamed, or a
// working directory changed (a relative target), meanwhile sends neither
// the file nor the rename elsewhere, and the folder's flush after the rename
// needs no descriptor that could be refused then. The file is named after
// the target (temporary_names.h), locked from its creation until the owner
// goes, and removed on every path but a rename, with MadeFile's rules.
class ReplacingFile {
public:
    // `shown` names the file in errors: the name the caller knows.
    ReplacingFile(module_state *state, const char *shown) noexcept : state_(state), shown_(shown)
    {
    }
    ReplacingFile(const ReplacingFile &) = delete;
    ReplacingFile &operator=(const ReplacingFile &) = delete;

    // Removes what killed processes left beside `target` (borrowed, as the
    // owner's life), then creates the file there, for reading and writing,
    // with `mode` less the umask: never more than the target's final mode,
    // so that nobody can open it meanwhile who could not read the target.
    // False with `error` set.
    bool create(const char *target, const TemporaryKind &kind, mode_t mode);
    // The file's descriptor, which holds its lock: the owner's until it goes.
    int fd() const noexcept { return file_.get(); }
    // stat() of the target, as its name is found in its folder now.
    bool target_status(struct stat &status) const
    {
        return fstatat(folder_.get(), target_base_, &status, 0) == 0;
    }

    enum class Flush { whole, data_only };
    // Flushes the file to the disk, runs `ready` (the caller's last step
    // before the rename: false with `error` set), renames the file over the
    // target and flushes the folder. False with `error` set; renamed() then
    // tells whether the file had taken the target's name first.
    template <class Ready>
    bool commit(Flush flush, Ready ready)
    {
        return flush_file(flush) && ready() && take_name();
    }
    bool renamed() const noexcept { return renamed_; }
    // Removes the file now, as the owner's going would.
    void remove() noexcept { made_.remove(); }

private:
    bool flush_file(Flush flush);
    bool take_name();
    bool fail(const char *call);

    module_state *state_;
    const char *shown_;
    const char *target_base_ = nullptr;
    Descriptor folder_;
    Growing<char> name_;  // in the folder, NUL-terminated
    Descriptor file_;
    bool renamed_ = false;
    // Last, so first to go: the file is removed while still locked, so that
    // no sweep takes it meanwhile, and while its folder is open.
    MadeFile made_;
};

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

// Opens `name`, a file the module keeps beside a database (a batch's
// journal, the shared store's lock file), with `flags`; with O_CREAT a
// missing file is made with `mode` less the umask. Such a name is the
// module's or refused: never followed when it is a symbolic link (a dangling
// one included, which O_CREAT would make the file it names through), never
// waited on (a FIFO), and nothing but a regular file is kept; anything else
// there raises error naming the file and what it is. -1 with `error` set;
// where there is no file and `flags` lacks O_CREAT, -1 with errno ENOENT
// and nothing raised.
int open_beside(module_state *state, const char *name, int flags, mode_t mode);

}  // namespace kvstore

#endif
