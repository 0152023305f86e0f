// compact(): reorganize() in steps. The records are copied, a few at a time,
// into a new file beside the database, which then takes the database's
// name; other threads run between the steps and a progress callable hears
// how far the copy has got.
#include "database.h"
#include "interpreter_private.h"
#include "steps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kvstore {

namespace {

// mkostemp() fills in the X's.
constexpr char new_file_suffix[] = ".compact.XXXXXX";

// How the database's handle was opened, for the new file to be opened the
// same way: its locking, memory mapping, block size and format.
struct Settings {
    int flags = 0;
    int block_size = 0;
    int format = 0;
};

bool read_settings(GDBM_FILE handle, module_state *state, Settings *settings)
{
    if (gdbm_setopt(handle, GDBM_GETFLAGS, &settings->flags, sizeof settings->flags) != 0 ||
        gdbm_setopt(handle, GDBM_GETBLOCKSIZE, &settings->block_size,
                    sizeof settings->block_size) != 0 ||
        gdbm_setopt(handle, GDBM_GETDBFORMAT, &settings->format, sizeof settings->format) != 0) {
        raise_library_error(state, "gdbm_setopt() error");
        return false;
    }
    return true;
}

int open_flags(const Settings &settings)
{
    // The new file is written without a flush per record, and flushed
    // once before it takes the name; the sync mode is set after the copy.
    int kept = settings.flags & (GDBM_NOLOCK | GDBM_NOMMAP | GDBM_PREREAD);
    int format = settings.format == GDBM_NUMSYNC ? GDBM_NUMSYNC : 0;
    return GDBM_NEWDB | kept | format | GDBM_CLOEXEC | GDBM_CLOERROR;
}

// Buckets each handle caches during the copy. The walk reads the old
// file's buckets in hash order, each once, and the new file receives the
// records in the same order: a small cache serves both. The library's
// own cache would grow to the whole file, and fill in one long call when
// the records are counted.
constexpr size_t copy_cache_buckets = 1024;

bool limit_cache(GDBM_FILE handle)
{
    size_t size = copy_cache_buckets;
    return gdbm_setopt(handle, GDBM_SETCACHESIZE, &size, sizeof size) == 0;
}

// The database's own cache setting, put back unless its handle is closed.
class KeptCache {
public:
    explicit KeptCache(GDBM_FILE handle) : handle_(handle)
    {
        if (gdbm_setopt(handle, GDBM_GETCACHESIZE, &size_, sizeof size_) != 0 ||
            gdbm_setopt(handle, GDBM_GETCACHEAUTO, &automatic_, sizeof automatic_) != 0) {
            handle_ = nullptr;
        }
    }
    KeptCache(const KeptCache &) = delete;
    KeptCache &operator=(const KeptCache &) = delete;
    ~KeptCache()
    {
        if (handle_ != nullptr) {
            size_t size = automatic_ ? GDBM_CACHE_AUTO : size_;
            gdbm_setopt(handle_, GDBM_SETCACHESIZE, &size, sizeof size);
        }
    }
    void forget() { handle_ = nullptr; }

private:
    GDBM_FILE handle_;
    size_t size_ = 0;
    int automatic_ = 0;
};

// The new file until it takes the database's name: closed and removed when
// its owner goes before then, so that a failure leaves nothing behind.
class NewFile {
public:
    NewFile() = default;
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;
    ~NewFile()
    {
        if (handle_ != nullptr) {
            gdbm_close(handle_);
        }
        if (name_) {
            unlink(name_.get());
        }
        if (folder_ >= 0) {
            close(folder_);
        }
    }

    // Creates the file in the database's folder, with a name no other
    // opener knows, and opens it as an empty database. The handle is named
    // after the database, the name it will have.
    bool create(database_object *db, module_state *state, const Settings &settings)
    {
        if (!make_name(db->name) || !open_folder(state)) {
            return false;
        }
        int fd = mkostemp(name_.get(), O_CLOEXEC);
        if (fd < 0) {
            name_.reset();
            raise_errno_first(state, "mkostemp() error", db->name);
            return false;
        }
        errno = 0;
        // The library closes the descriptor when it fails, and owns it otherwise.
        handle_ = gdbm_fd_open(fd, db->name, settings.block_size, open_flags(settings), nullptr);
        if (handle_ == nullptr) {
            raise_errno_first(state, "gdbm_open() error", name_.get());
            return false;
        }
        if (!limit_cache(handle_)) {
            raise_library_error(state, "gdbm_setopt() error");
            return false;
        }
        return true;
    }

    GDBM_FILE handle() const { return handle_; }

    // Gives the new file the database's owner (where permitted) and mode,
    // the database's sync mode, and flushes it to the disk.
    bool settle(database_object *db, module_state *state)
    {
        int fd = gdbm_fdesc(handle_);
        struct stat old;
        errno = 0;
        if (fstat(gdbm_fdesc(db->handle), &old) != 0 ||
            (fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) ||
            fchmod(fd, old.st_mode & 07777) != 0) {
            raise_errno_first(state, "fchmod() error", name_.get());
            return false;
        }
        int sync_mode = db->sync_each_change ? 1 : 0;
        if (gdbm_setopt(handle_, GDBM_SETSYNCMODE, &sync_mode, sizeof sync_mode) != 0) {
            raise_library_error(state, "gdbm_setopt() error");
            return false;
        }
        // Most of the file is written by now: the flush of the bulk of it
        // is a system call, which other threads need not wait for; the
        // library's own flush then finds little left to do.
        int flushed;
        Py_BEGIN_ALLOW_THREADS
        flushed = fdatasync(fd);
        Py_END_ALLOW_THREADS
        if (flushed != 0) {
            raise_errno_first(state, "fdatasync() error", name_.get());
            return false;
        }
        if (gdbm_sync(handle_) != 0) {
            // The library's own error handling may have overwritten errno.
            errno = gdbm_last_syserr(handle_);
            raise_errno_first(state, "gdbm_sync() error");
            return false;
        }
        return true;
    }

    // Renames the new file over the database's name, then puts the new
    // handle in the old one's place and closes the old one: the old file
    // stays locked until the new one has its name, so an opener never finds
    // the name unlocked.
    bool take_name(database_object *db, module_state *state)
    {
        if (rename(name_.get(), db->name) != 0) {
            raise_errno_first(state, "rename() error", name_.get());
            return false;
        }
        name_.reset();
        GDBM_FILE old = std::exchange(db->handle, std::exchange(handle_, nullptr));
        // The last descriptor of the old file, now without a name, frees
        // its blocks when closed: a long system call, made here with other
        // threads running, after the library has let go of the file.
        int last = fcntl(gdbm_fdesc(old), F_DUPFD_CLOEXEC, 0);
        // Nobody hears a failure to close a file that no longer has a name.
        gdbm_close(old);
        if (last >= 0) {
            Py_BEGIN_ALLOW_THREADS
            close(last);
            Py_END_ALLOW_THREADS
        }
        return true;
    }

    // Flushes the folder, which holds the new name once this returns.
    bool sync_folder(module_state *state)
    {
        errno = 0;
        if (fsync(folder_) != 0) {
            raise_errno_first(state, "fsync() error");
            return false;
        }
        return true;
    }

private:
    bool make_name(const char *database)
    {
        size_t length = std::strlen(database);
        if (fault::injected()) {
            return false;
        }
        name_.reset(static_cast<char *>(std::malloc(length + sizeof new_file_suffix)));
        if (!name_) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(name_.get(), database, length);
        std::memcpy(name_.get() + length, new_file_suffix, sizeof new_file_suffix);
        return true;
    }

    // Opened before the copy, so that nothing after the rename needs
    // memory. The name is cut after its last slash for the call.
    bool open_folder(module_state *state)
    {
        char *end = std::strrchr(name_.get(), '/') + 1;
        char kept = std::exchange(*end, '\0');
        folder_ = open(name_.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        *end = kept;
        if (folder_ < 0) {
            raise_errno_first(state, "open() error");
            return false;
        }
        return true;
    }

    CString name_;
    GDBM_FILE handle_ = nullptr;
    int folder_ = -1;
};

// Copies every record of `from` into `to`, one step per record. The walk
// is checked against the library's count, which a damaged file can make it
// miss or exceed.
bool copy_records(GDBM_FILE from, GDBM_FILE to, module_state *state, Steps &steps,
                  Py_ssize_t count)
{
    const char *call = "gdbm_firstkey() error";
    LibDatum key(gdbm_firstkey(from));
    for (; key; key = LibDatum(gdbm_nextkey(from, key.view()))) {
        call = "gdbm_nextkey() error";
        if (steps.done() == count) {
            raise_error(state, endless_traversal_message);
            return false;
        }
        LibDatum value(gdbm_fetch(from, key.view()));
        if (!value) {
            raise_library_error(state, "gdbm_fetch() error");
            return false;
        }
        errno = 0;
        int stored = gdbm_store(to, key.view(), value.view(), GDBM_INSERT);
        if (stored == 1) {
            raise_error(state, endless_traversal_message);
            return false;
        }
        if (stored != 0) {
            raise_errno_first(state, "gdbm_store() error");
            return false;
        }
        if (!steps.advance()) {
            return false;
        }
    }
    if (raise_unless_miss(state, call)) {
        return false;
    }
    if (steps.done() != count) {
        PyErr_Format(state->error_type, "compact() found %zd of the %zd records: "
                     "the database file is damaged", steps.done(), count);
        return false;
    }
    return true;
}

PyObject *compact_file(database_object *db, module_state *state, PyObject *progress)
{
    if (!may_rewrite(db, state)) {
        return nullptr;
    }
    KeptCache kept(db->handle);
    if (!limit_cache(db->handle)) {
        raise_library_error(state, "gdbm_setopt() error");
        return nullptr;
    }
    Py_ssize_t count = library_count(db, state);
    Settings settings;
    if (count < 0 || !read_settings(db->handle, state, &settings)) {
        return nullptr;
    }
    NewFile file;
    if (!file.create(db, state, settings)) {
        return nullptr;
    }
    Steps steps(db, "compact", progress, count);
    // The last progress report comes before the rename, the point of no
    // return, so that a progress callable that raises undoes it all.
    if (!copy_records(db->handle, file.handle(), state, steps, count) || !steps.finish() ||
        !file.settle(db, state)) {
        return nullptr;
    }
    if (!file.take_name(db, state)) {
        return nullptr;
    }
    kept.forget();
    db->known_size = count;
    return file.sync_folder(state) ? Py_NewRef(Py_None) : nullptr;
}

}  // namespace

PyObject *db_compact(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const keywords[] = {"progress", nullptr};
    static _PyArg_Parser parser = argument_parser("|$O:compact", keywords);
    PyObject *progress = Py_None;
    if (!_PyArg_ParseStackAndKeywords(args, nargs, kwnames, &parser, &progress) ||
        !is_progress("compact", progress)) {
        return nullptr;
    }
    return on_open(self, [&](database_object &db) { return compact_file(&db, db.state, progress); });
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
"the name.  While compact() runs, every other call on this object, from\n"
"another thread or from progress, raises error.\n"
"\n"
"Every record is carried over, or none: when a record cannot be read,\n"
"a write fails, or progress raises (its exception propagates), the new\n"
"file is removed and the database file is left as it was.  A\n"
"failure_atomic() setting does not carry over to the new file.";

}  // namespace kvstore
