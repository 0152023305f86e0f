// Backups in gdbm's dump formats: dump() writes every record to a file that
// gdbm's own tools (gdbm_load, gdbmtool) read, and load() stores the records
// of a dump file, whether this module or those tools wrote it.
#include "database.h"
#include "interpreter_private.h"

#include <cerrno>

namespace kvstore {

namespace {

// A file name as the library takes it; the converter refuses embedded NUL
// bytes itself.
bool to_path(PyObject *name, Ref &out)
{
    PyObject *converted = nullptr;
    if (!fallible::fs_converter(name, &converted)) {
        return false;
    }
    out = Ref(converted);
    return true;
}

bool to_format(PyObject *name, int *format)
{
    if (!PyUnicode_Check(name)) {
        _PyArg_BadArgument("dump", "argument 2", "str", name);
        return false;
    }
    if (PyUnicode_EqualToUTF8(name, "ascii")) {
        *format = GDBM_DUMP_FMT_ASCII;
        return true;
    }
    if (PyUnicode_EqualToUTF8(name, "binary")) {
        *format = GDBM_DUMP_FMT_BINARY;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "dump format must be 'ascii' or 'binary', not %R", name);
    return false;
}

// A dump file that cannot be opened reports the system's error with its
// name; a failure that the system reported reports it without a name (it may
// concern the database file); the rest is the library's own report.
void raise_backup_error(module_state *state, const char *path, const char *fallback)
{
    if (PyErr_Occurred()) {
        return;
    }
    int code = library_errno();
    int system_code = errno;
    if (system_code != 0 && code == GDBM_FILE_OPEN_ERROR) {
        PyErr_SetFromErrnoWithFilename(state->error_type, path);
    }
    else if (system_code != 0 && gdbm_check_syserr(static_cast<gdbm_error>(code))) {
        PyErr_SetFromErrno(state->error_type);
    }
    else {
        raise_library_error(state, fallback);
    }
}

// A malformed dump names the line where the library stopped reading.
void raise_load_error(module_state *state, const char *path, unsigned long line)
{
    if (line == 0 || library_errno() != GDBM_MALFORMED_DATA) {
        raise_backup_error(state, path, "gdbm_load() error");
        return;
    }
    const char *message = gdbm_strerror(GDBM_MALFORMED_DATA);
    PyErr_Format(state->error_type, "%s: %s, line %lu", message, path, line);
}

// gdbm's dump and load do not carry an empty key or value: the binary
// format fails to write one, and the ASCII format writes a line that the
// loader then refuses. A dump is refused before it starts rather than leave
// a backup that cannot be loaded. Like keys(), the walk is bounded by the
// library's count, since a damaged file can make it circle.
bool holds_empty_record(database_object *db, module_state *state, bool *found)
{
    *found = false;
    Py_ssize_t count = library_count(db, state);
    if (count < 0) {
        return false;
    }
    const char *call = "gdbm_firstkey() error";
    LibDatum key(gdbm_firstkey(db->handle));
    for (Py_ssize_t seen = 0; key; ++seen) {
        if (seen == count) {
            raise_error(state, endless_traversal_message);
            return false;
        }
        LibDatum value(gdbm_fetch(db->handle, key.view()));
        if (!value) {
            raise_library_error(state, "gdbm_fetch() error");
            return false;
        }
        if (key.view().dsize == 0 || value.view().dsize == 0) {
            *found = true;
            return true;
        }
        key = LibDatum(gdbm_nextkey(db->handle, key.view()));
        call = "gdbm_nextkey() error";
    }
    return !raise_unless_miss(state, call);
}

PyObject *dump_file(database_object *db, module_state *state, const char *name, int format)
{
    bool empty_record;
    if (!holds_empty_record(db, state, &empty_record)) {
        return nullptr;
    }
    if (empty_record) {
        raise_error(state, "gdbm's dump files cannot hold an empty key or value, "
                           "and this database has one");
        return nullptr;
    }
    errno = 0;
    // GDBM_NEWDB: an existing file is replaced, as open(path, "w") does.
    if (gdbm_dump(db->handle, name, format, GDBM_NEWDB, 0666) != 0) {
        raise_backup_error(state, name, "gdbm_dump() error");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *load_file(database_object *db, module_state *state, const char *name, int flag)
{
    if (!may_change(db, state)) {
        return nullptr;
    }
    db->known_size = -1;
    // The library may store through the pointer it is given; a copy
    // keeps the object's own handle out of its reach.
    GDBM_FILE handle = db->handle;
    unsigned long line = 0;
    errno = 0;
    // Metadata mask 0: an ASCII dump's file mode and owner are applied, as
    // gdbm's own gdbm_load does.
    if (gdbm_load(&handle, name, flag, 0, &line) != 0) {
        raise_load_error(state, name, line);
        return nullptr;
    }
    return commit_change(db, state) ? Py_NewRef(Py_None) : nullptr;
}

bool to_load_flag(PyObject *replace, int *flag)
{
    int truth = PyObject_IsTrue(replace);
    if (truth < 0) {
        return false;
    }
    *flag = truth ? GDBM_REPLACE : GDBM_INSERT;
    return true;
}

using OptionParser = bool (*)(PyObject *, int *);
using FileBody = PyObject *(*)(database_object *, module_state *, const char *, int);

// dump() and load(): a file name and an optional second argument, positional
// only and checked before the closed check; the body runs in the object's
// critical section.
template <const char *Name, OptionParser parse_option, int default_option, FileBody body>
PyObject *file_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 2) {
        _PyArg_CheckPositional(Name, nargs, 1, 2);
        return nullptr;
    }
    int option = default_option;
    if (nargs == 2 && !parse_option(args[1], &option)) {
        return nullptr;
    }
    Ref path;
    if (!to_path(args[0], path)) {
        return nullptr;
    }
    const char *name = PyBytes_AS_STRING(path.borrow());
    module_state *state = state_of_object(self);
    return with_lock(self, [&]() -> PyObject * {
        database_object *db = as_db(self);
        return ensure_open(db, state) ? body(db, state, name, option) : nullptr;
    });
}

constexpr const char dump_name[] = "dump";
constexpr const char load_name[] = "load";

}  // namespace

PyObject *db_dump(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return file_method<dump_name, to_format, GDBM_DUMP_FMT_ASCII, dump_file>(self, args, nargs);
}

PyObject *db_load(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return file_method<load_name, to_load_flag, GDBM_INSERT, load_file>(self, args, nargs);
}

const char dump_doc[] =
"dump($self, filename, format='ascii', /)\n--\n\n"
"Write every record to a dump file that gdbm's own tools read.\n"
"\n"
"format is 'ascii', a portable text file that also records the database\n"
"file's name, mode and owner, or 'binary', the older and more compact\n"
"format.  An existing file is replaced.  gdbm's dump files cannot hold\n"
"an empty key or value: a database with one raises error.";

const char load_doc[] =
"load($self, filename, replace=False, /)\n--\n\n"
"Store every record of a dump file in the database.\n"
"\n"
"The file may be in either format that dump() writes.  A key that is\n"
"already stored raises error unless replace is true.  An ASCII dump also\n"
"sets the database file's mode and, where permitted, its owner to those\n"
"it records.";

}  // namespace kvstore
