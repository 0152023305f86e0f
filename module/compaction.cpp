// The rewrite of a database through a new file beside it (rewrite.h), and
// compact() over it: reorganize() in steps. The records are copied, a few
// at a time, into the new file, which then takes the database's name;
// other threads run between the steps and a progress callable hears how
// far the copy has got.
#include "rewrite.h"
#include "arguments.h"
#include "interpreter_private.h"
#include "key_walk.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kvstore {

namespace {

// The new file's name: the database's (files.h), this mark, and the X's,
// which mkostemp() fills in.
constexpr char new_file_mark[] = ".compact.";
constexpr char unique_part[] = "XXXXXX";
// The letters mkostemp() puts in their place.
constexpr char unique_letters[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr int claim_attempts = 100;

// Buckets each handle caches during a rewrite, unless the caller chose a
// size. The copy reads the old file's buckets in hash order, each once, and
// the new file receives the records in the same order: a small cache serves
// both. The library's own cache would grow to the whole file, fill in one
// long call when the records are counted, and be written back in one long
// call at the end.
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
    if (shrunk_ && kept_in_ == this_process()) {
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
    shrunk_ = true;
    return set_cache(handle, rewrite_cache_buckets);
}

size_t KeptSettings::new_file_cache() const
{
    return cache_auto_ ? rewrite_cache_buckets : cache_size_;
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
        // Removed while still locked, so that no sweep takes it meanwhile.
        made_.remove();
        release_handle(handle_, made_in_);
    }
    if (folder_ >= 0) {
        close(folder_);
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
    if (count_ < 0 || !make_name() || !open_folder()) {
        return false;
    }
    // What killed rewrites of this database left.
    sweep_leftovers(name_.data(), name_.size() - sizeof unique_part, sizeof unique_part - 1,
                    unique_letters);
    return create_file();
}

// A name that fits wherever the database's fits, however long that is.
bool Rewrite::make_name()
{
    if (!temporary_prefix(db_.name, new_file_mark, sizeof unique_part - 1, name_)) {
        return false;
    }
    std::memcpy(name_.data() + name_.size(), unique_part, sizeof unique_part);
    name_.extend(sizeof unique_part);
    return true;
}

// Opened before the copy, so that nothing after the rename needs memory.
// The name is cut after its last slash for the call.
bool Rewrite::open_folder()
{
    char *end = std::strrchr(name_.data(), '/') + 1;
    char kept = std::exchange(*end, '\0');
    folder_ = open(name_.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    *end = kept;
    if (folder_ < 0) {
        raise_failure(db_.state, errno_first("open() error"));
        return false;
    }
    return true;
}

// Creates the file in the database's folder, with a name no other opener
// knows, and opens it as an empty database. The handle is named after the
// database, the name it will have.
bool Rewrite::create_file()
{
    // Locked from its creation (files.h): a sweep that finds it meanwhile
    // makes the claim fail, and another name is tried.
    char *unique = name_.data() + name_.size() - sizeof unique_part;
    int fd = -1;
    for (int attempt = 0; attempt < claim_attempts; ++attempt) {
        std::memcpy(unique, unique_part, sizeof unique_part);
        fd = mkostemp(name_.data(), O_CLOEXEC);
        if (fd < 0 || claim_made_file(fd, name_.data())) {
            break;
        }
        drop_unclaimed_file(fd, name_.data());
        fd = -1;
        errno = EEXIST;
    }
    struct stat made;
    if (fd < 0 || fstat(fd, &made) != 0) {
        raise_failure(db_.state,
                      errno_first(fd < 0 ? "mkostemp() error" : "fstat() error", db_.name));
        if (fd >= 0) {
            close(fd);
            unlink(name_.data());
        }
        return false;
    }
    made_.record(name_.data(), made);
    // The library closes the descriptor when it fails, and owns it otherwise.
    handle_ = errno_first_call(
        [&] { return gdbm_fd_open(fd, db_.name, block_size_, flags_, nullptr); });
    if (handle_ == nullptr) {
        raise_failure(db_.state, errno_first("gdbm_open() error", name_.data()));
        return false;
    }
    if (!set_cache(handle_, kept_.new_file_cache())) {
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
    int fd = gdbm_fdesc(handle_);
    struct stat old;
    if (fstat(gdbm_fdesc(db_.handle), &old) != 0 ||
        (fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) ||
        fchmod(fd, old.st_mode & 07777) != 0) {
        raise_failure(db_.state, errno_first("fchmod() error", name_.data()));
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

bool Rewrite::flush_file()
{
    // Most of the file is written by now: the flush of the bulk of it is
    // a system call, which other threads need not wait for; the library's
    // own flush then finds little left to do.
    int fd = gdbm_fdesc(handle_);
    if (detached([fd] { return fdatasync(fd); }) != 0) {
        raise_failure(db_.state, errno_first("fdatasync() error", name_.data()));
        return false;
    }
    if (gdbm_sync(handle_) != 0) {
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
    if (!flush_file()) {
        return false;
    }
    if (rename(name_.data(), db_.name) != 0) {
        raise_failure(db_.state, errno_first("rename() error", name_.data()));
        return false;
    }
    made_.keep();
    if ((flags_ & GDBM_NOLOCK) != 0) {
        // The claim's lock, which the library did not take: a database
        // opened without locking stays unlocked under its name.
        flock(gdbm_fdesc(handle_), LOCK_UN);
    }
    let_old_file_go(std::exchange(db_.handle, std::exchange(handle_, nullptr)));
    db_.known_size = -1;
    ++db_.changes;
    // Some file systems cannot flush a folder, and say so with EINVAL.
    if (detached([this] { return fsync(folder_); }) != 0 && errno != EINVAL) {
        raise_failure(db_.state, errno_first("fsync() error"));
        return false;
    }
    return true;
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

PyObject *compact_file(database_object &db, PyObject *progress, const char *operation)
{
    Rewrite rewrite(db);
    if (!rewrite.begin()) {
        return nullptr;
    }
    Steps steps(db, operation, progress, rewrite.records());
    // The last progress report comes before the rename, the point of no
    // return, so that a progress callable that raises undoes it all.
    if (!rewrite.copy(steps) || !steps.finish() || !rewrite.settle() || !rewrite.take_name()) {
        return nullptr;
    }
    db.known_size = rewrite.records();
    Py_RETURN_NONE;
}

PyObject *db_compact(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *progress;
    if (!progress_argument<"compact", "|$O:compact">(args, nargs, kwnames, &progress)) {
        return nullptr;
    }
    return on_open(self, [&](database_object &db) { return compact_file(db, progress, "compact"); });
}

const char compact_doc[] =
"compact($self, /, *, progress=None)\n--\n\n"
"Reorganize the database in steps, letting other threads run between them.\n"
"\n"
"Like reorganize(), gives back the space of deleted records: every record\n"
"is copied into a new file beside the database, which then takes the\n"
"database's name, mode and (where permitted) owner; the object goes on\n"
"with the new file.  The new file is locked from the start, so no other\n"
"opener finds the name unlocked.  The database must be open for writing.\n"
"\n"
"progress, when given, is called as progress(done, total) every few\n"
"milliseconds and once more with done == total before the new file takes\n"
"the name.  While compact() runs, a call on this object from another\n"
"thread waits until it returns; one from progress raises error.\n"
"\n"
"Every record is carried over, or none: when a record cannot be read,\n"
"a write fails, or progress raises (its exception propagates), the new\n"
"file is removed and the database file is left as it was.  A\n"
"failure_atomic() setting does not carry over to the new file.  The new\n"
"file that a process killed in compact() or load() left beside the\n"
"database is removed first; one that a live process holds is left.";

}  // namespace kvstore
