// Crash tolerance: the library keeps two reflink snapshots of the database,
// taken in turn at each sync, so that after a crash one of them holds the
// database as of the last sync: failure_atomic() turns it on, and the module
// function latest_snapshot() tells which snapshot to recover from.
#include "arguments.h"
#include "files.h"
#include "interpreter_private.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kvstore {

namespace {

// The two snapshot names, positional only, converted for the system; false
// with an exception set when either cannot be. `Format` names the function
// in the interpreter's argument errors.
template <method_name Format>
bool snapshot_names(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, Ref *even,
                    Ref *odd)
{
    static const char *const keywords[] = {"", "", nullptr};
    static _PyArg_Parser parser = argument_parser(Format.text, keywords);
    PyObject *given[2];
    if (!_PyArg_ParseStackAndKeywords(args, nargs, kwnames, &parser, &given[0], &given[1])) {
        return false;
    }
    PyObject *converted = nullptr;
    if (!fallible::fs_converter(given[0], &converted)) {
        return false;
    }
    *even = Ref::take(converted);
    if (!fallible::fs_converter(given[1], &converted)) {
        return false;
    }
    *odd = Ref::take(converted);
    return true;
}

const char *text_of(const Ref &name)
{
    return PyBytes_AS_STRING(name.get());
}

bool exists(const char *name)
{
    struct stat status;
    return lstat(name, &status) == 0;
}

// The library creates both snapshot files before it tries the first
// reflink copy, and leaves them when that fails: the files it made are
// removed again. It does not say which it made, nor keep them open: a name
// that was free before the call and now holds a file such as the library
// makes (regular, this user's, empty, with no permission but its owner's
// write) is taken for its file, and removed while its name still leads to
// that file (MadeFile), never a file that someone else put there.
class CreatedFiles {
public:
    CreatedFiles(const char *even, const char *odd)
        : names_{even, odd}, were_there_{exists(even), exists(odd)}
    {
    }

    void remove()
    {
        for (int i = 0; i < 2; ++i) {
            struct stat status;
            if (!were_there_[i] && lstat(names_[i], &status) == 0 && S_ISREG(status.st_mode) &&
                status.st_uid == geteuid() && status.st_size == 0 &&
                (status.st_mode & 07777 & ~S_IWUSR) == 0) {
                MadeFile made;
                made.record(names_[i], status);
                made.remove();
            }
        }
    }

private:
    const char *names_[2];
    bool were_there_[2];
};

bool lacks_reflinks(GDBM_FILE handle, int number)
{
    return gdbm_last_errno(handle) == GDBM_ERR_SNAPSHOT_CLONE &&
           (number == EOPNOTSUPP || number == ENOTTY || number == EINVAL);
}

void raise_snapshot_failure(database_object &db, int number)
{
    if (!lacks_reflinks(db.handle, number)) {
        errno = number;
        raise_failure(db.state, errno_first("gdbm_failure_atomic() error"));
        return;
    }
    char message[160];
    std::snprintf(message, sizeof message,
                  "crash tolerance needs a file system with reflink copies (XFS, Btrfs): %s",
                  std::strerror(number));
    raise_failure(db.state, system_failure(number, message));
}

PyObject *start_snapshots(database_object &db, const char *even, const char *odd)
{
    if (!may_rewrite(db)) {
        return nullptr;
    }
    CreatedFiles created(even, odd);
    if (errno_first_call([&] { return gdbm_failure_atomic(db.handle, even, odd); }) != 0) {
        int number = errno;
        created.remove();
        raise_snapshot_failure(db, number);
        return nullptr;
    }
    db.takes_snapshots = true;
    // The extended format counts the syncs in the file, so the latest
    // snapshot is told by its count rather than by file times, which two
    // syncs within one clock tick share.
    if (errno_first_call([&] { return gdbm_convert(db.handle, GDBM_NUMSYNC); }) != 0) {
        raise_failure(db.state, errno_first("gdbm_convert() error"));
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyObject *db_failure_atomic(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames)
{
    Ref even, odd;
    if (!snapshot_names<"OO:failure_atomic">(args, nargs, kwnames, &even, &odd)) {
        return nullptr;
    }
    return on_open(self, [&](database_object &db) {
        return start_snapshots(db, text_of(even), text_of(odd));
    });
}

PyObject *latest_snapshot(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames)
{
    Ref even, odd;
    if (!snapshot_names<"OO:latest_snapshot">(args, nargs, kwnames, &even, &odd)) {
        return nullptr;
    }
    module_state *state = state_of_module(module);
    const char *latest = nullptr;
    switch (errno_first_call(
        [&] { return gdbm_latest_snapshot(text_of(even), text_of(odd), &latest); })) {
    case GDBM_SNAPSHOT_OK:
        return Py_NewRef(latest == text_of(even) ? args[0] : args[1]);
    case GDBM_SNAPSHOT_BAD:
        raise_error(state, "neither snapshot is a complete database");
        return nullptr;
    case GDBM_SNAPSHOT_SAME:
        raise_error(state, "the snapshots are equally recent: which one is the latest cannot "
                           "be told");
        return nullptr;
    case GDBM_SNAPSHOT_SUSPICIOUS:
        raise_error(state,
                    "the snapshots' sync counts differ by more than one: %s is the newer, "
                    "but may not be the database as of its last sync",
                    latest != nullptr ? latest : "neither");
        return nullptr;
    default:
        raise_failure(state, errno_first("gdbm_latest_snapshot() error",
                                         errno == ENOENT || errno == EACCES ? text_of(even)
                                                                            : nullptr));
        return nullptr;
    }
}

const char failure_atomic_doc[] =
"failure_atomic($self, even, odd, /)\n--\n\n"
"Keep the database recoverable after a crash, as of its last sync.\n"
"\n"
"From now on every sync(), and with the 's' flag every change, ends with a\n"
"reflink copy of the database file into one of the two snapshot files\n"
"named even and odd, in turn; after a crash, latest_snapshot(even, odd)\n"
"names the one to copy back over the database file.  The snapshot files\n"
"must not exist yet, and must lie on the database's file system, which\n"
"must support reflink copies (XFS, Btrfs): elsewhere error is raised at\n"
"once.  The file takes gdbm's extended format (sync counts), which gdbm\n"
"releases before 1.21 cannot read.";

const char latest_snapshot_doc[] =
"latest_snapshot($module, even, odd, /)\n--\n\n"
"Return the name (even or odd, as given) of the snapshot to recover from.\n"
"\n"
"After a crash of a program that called failure_atomic(even, odd), the\n"
"snapshot returned holds the database as of its last sync: rename it\n"
"over the database file, then open the database.  Raises error when\n"
"neither snapshot is complete, or when which one is the latest cannot be\n"
"told for sure.";

}  // namespace kvstore
