// A database rewritten through a new file beside it (rewrite.h), as
// compact() and load() do.
#include "rewrite.h"
#include "key_walk.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kvstore {

namespace {

// Buckets the database's handle caches while the rewrite reads it, unless
// the caller chose a size: the copy reads the old file's buckets in hash
// order, each once, and the library's own cache would grow to the whole
// file and fill in one long call when the records are counted. The new
// file's handle keeps the database's own cache from its creation: gdbm 1.23
// aborts in the next bucket read after a handle that received a million
// records in hash order through a small cache has that cache made larger.
constexpr size_t rewrite_cache_buckets = 1024;

bool set_cache(GDBM_FILE handle, size_t size)
{
    return gdbm_setopt(handle, GDBM_SETCACHESIZE, &size, sizeof size) == 0;
}

// The flags the new file is opened with: the database's locking, memory
// mapping (which the flags tell however it was chosen; setting it later
// would flush the whole file in one call) and format. The new file is
// written without a flush per record, and flushed once before it takes the
// name; the sync mode is set after.
bool read_open_flags(GDBM_FILE handle, int *flags, int *block_size)
{
    int format = 0;
    if (gdbm_setopt(handle, GDBM_GETFLAGS, flags, sizeof *flags) != 0 ||
        gdbm_setopt(handle, GDBM_GETBLOCKSIZE, block_size, sizeof *block_size) != 0 ||
        gdbm_setopt(handle, GDBM_GETDBFORMAT, &format, sizeof format) != 0) {
        return false;
    }
    int kept = *flags & (GDBM_NOLOCK | GDBM_NOMMAP | GDBM_PREREAD);
    *flags = GDBM_NEWDB | kept | (format == GDBM_NUMSYNC ? GDBM_NUMSYNC : 0) | GDBM_CLOEXEC |
             GDBM_CLOERROR;
    return true;
}

}  // namespace

KeptSettings::~KeptSettings()
{
    // Only the old handle, still the database's after a failure, was made
    // small; after success the new one has the library's sizing already.
    if (shrunk_ == db_.handle && shrunk_ != nullptr && kept_in_ == this_process()) {
        set_cache(db_.handle, GDBM_CACHE_AUTO);
    }
}

bool KeptSettings::keep()
{
    GDBM_FILE handle = db_.handle;
    if (gdbm_setopt(handle, GDBM_GETCACHESIZE, &cache_size_, sizeof cache_size_) != 0 ||
        gdbm_setopt(handle, GDBM_GETCACHEAUTO, &cache_auto_, sizeof cache_auto_) != 0 ||
        gdbm_setopt(handle, GDBM_GETCENTFREE, &central_free_, sizeof central_free_) != 0 ||
        gdbm_setopt(handle, GDBM_GETCOALESCEBLKS, &coalesce_blocks_,
                    sizeof coalesce_blocks_) != 0) {
        return false;
    }
    // A size the caller chose is never changed on a handle in use: the
    // library aborts in some such resizes (a small cache made large, then
    // small again). Only a cache the library sizes itself is made small.
    if (!cache_auto_) {
        return true;
    }
    shrunk_ = handle;
    return set_cache(handle, rewrite_cache_buckets);
}

bool KeptSettings::size_new_cache(GDBM_FILE handle) const
{
    // A new handle's cache is the library's to size already.
    return cache_auto_ || set_cache(handle, cache_size_);
}

bool KeptSettings::carry_to(GDBM_FILE handle) const
{
    int central_free = central_free_;
    int coalesce_blocks = coalesce_blocks_;
    return gdbm_setopt(handle, GDBM_SETCENTFREE, &central_free, sizeof central_free) == 0 &&
           gdbm_setopt(handle, GDBM_SETCOALESCEBLKS, &coalesce_blocks,
                       sizeof coalesce_blocks) == 0;
}

Rewrite::~Rewrite()
{
    // A child forked from the progress callable unwinds here too, with the
    // parent's new file under this handle: there release_handle() closes
    // only the child's descriptor, and the file is the parent's to remove.
    if (handle_ != nullptr) {
        // Removed while still locked, before the library's close lets the
        // lock go, so that no sweep takes it meanwhile.
        file_.remove();
        release_handle(handle_, made_in_);
    }
}

bool Rewrite::begin()
{
    if (!may_rewrite(db_)) {
        return false;
    }
    if (!kept_.keep() || !read_open_flags(db_.handle, &flags_, &block_size_)) {
        raise_failure(db_.state, library_failure("gdbm_setopt() error"));
        return false;
    }
    count_ = library_count(db_);
    return count_ >= 0 && create_file();
}

// Creates the file beside the database, with a name no other opener knows,
// and opens it as an empty database. The handle is named after the
// database, the name it will have.
bool Rewrite::create_file()
{
    // Its owner's alone until settle() gives it the database's mode.
    if (!file_.create(db_.name, rewritten_database, 0600)) {
        return false;
    }
    // The library closes the descriptor it is given when it fails, and owns
    // it otherwise; the file's owner keeps its own, which holds the lock.
    int fd = fcntl(file_.fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        raise_failure(db_.state, errno_first("fcntl() error", db_.name));
        return false;
    }
    handle_ = errno_first_call(
        [&] { return gdbm_fd_open(fd, db_.name, block_size_, flags_, nullptr); });
    if (handle_ == nullptr) {
        raise_failure(db_.state, errno_first("gdbm_open() error", db_.name));
        return false;
    }
    if (!kept_.size_new_cache(handle_)) {
        raise_failure(db_.state, library_failure("gdbm_setopt() error"));
        return false;
    }
    return true;
}

bool Rewrite::copy(Steps &steps)
{
    KeyWalk walk(count_);
    while (walk.next(db_)) {
        datum key = walk.key().view();
        LibDatum value(gdbm_fetch(db_.handle, key));
        if (!value) {
            raise_failure(db_.state, library_failure("gdbm_fetch() error"));
            return false;
        }
        int stored = errno_first_call(
            [&] { return gdbm_store(handle_, key, value.view(), GDBM_INSERT); });
        // A key the walk gave twice.
        if (stored == 1) {
            raise_error(db_.state, endless_traversal_message);
            return false;
        }
        if (stored != 0) {
            raise_failure(db_.state, errno_first("gdbm_store() error"));
            return false;
        }
        if (!steps.advance()) {
            return false;
        }
    }
    return walk.finished();
}

bool Rewrite::settle()
{
    int fd = file_.fd();
    struct stat old;
    if (fstat(gdbm_fdesc(db_.handle), &old) != 0 ||
        (fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) ||
        fchmod(fd, old.st_mode & 07777) != 0) {
        raise_failure(db_.state, errno_first("fchmod() error", db_.name));
        return false;
    }
    // The database's settings come only now: the copy runs with a new
    // file's defaults, which suit it; with the central free list on, as a
    // reopened file here has it, a million records took a sixth longer.
    int sync_mode = db_.sync_each_change ? 1 : 0;
    if (!kept_.carry_to(handle_) ||
        gdbm_setopt(handle_, GDBM_SETSYNCMODE, &sync_mode, sizeof sync_mode) != 0) {
        raise_failure(db_.state, library_failure("gdbm_setopt() error"));
        return false;
    }
    return true;
}

bool Rewrite::sync_library()
{
    // The cache holds up to the whole new file's buckets: their write-back
    // runs with other threads running, as no other thread knows this handle.
    if (detached([this] { return gdbm_sync(handle_); }) != 0) {
        // The library's own error handling may have overwritten errno.
        errno = gdbm_last_syserr(handle_);
        raise_failure(db_.state, errno_first("gdbm_sync() error"));
        return false;
    }
    return true;
}

// The old file stays locked until the new one has its name, so an opener
// never finds the name unlocked.
bool Rewrite::take_name()
{
    // Most of the file is written by now: the flush of the bulk of it is
    // a system call, which other threads need not wait for; the library's
    // own flush then finds little left to do.
    bool committed =
        file_.commit(ReplacingFile::Flush::data_only, [this] { return sync_library(); });
    if (!file_.renamed()) {
        return false;
    }
    if ((flags_ & GDBM_NOLOCK) != 0) {
        // The claim's lock, which the library did not take: a database
        // opened without locking stays unlocked under its name.
        flock(file_.fd(), LOCK_UN);
    }
    let_old_file_go(std::exchange(db_.handle, std::exchange(handle_, nullptr)));
    db_.known_size = -1;
    ++db_.changes;
    return committed;
}

void Rewrite::let_old_file_go(GDBM_FILE old)
{
    // The last descriptor of the old file, now without a name, frees its
    // blocks when closed: a long system call, made here with other threads
    // running, after the library has let go of the file.
    int last = fcntl(gdbm_fdesc(old), F_DUPFD_CLOEXEC, 0);
    // Nobody hears a failure to close a file that no longer has a name.
    gdbm_close(old);
    if (last >= 0) {
        detached([last] { return close(last); });
    }
}

}  // namespace kvstore
