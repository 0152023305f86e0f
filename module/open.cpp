// open(): from a file name, flags and a mode to an open database object.
#include "database.h"
#include "files.h"
#include "interpreter_private.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvstore {

namespace {

bool parse_flags(const char *letters, module_state *state, int *flags)
{
    switch (letters[0]) {
    case 'r': *flags = GDBM_READER; break;
    case 'w': *flags = GDBM_WRITER; break;
    case 'c': *flags = GDBM_WRCREAT; break;
    case 'n': *flags = GDBM_NEWDB; break;
    default:
        raise_error(state, "First flag must be one of 'r', 'w', 'c' or 'n'");
        return false;
    }
    for (const char *letter = letters + 1; *letter != '\0'; ++letter) {
        switch (*letter) {
        case 'f': *flags |= GDBM_FAST; break;
        case 's': *flags |= GDBM_SYNC; break;
        case 'u': *flags |= GDBM_NOLOCK; break;
        default:
            PyErr_Format(state->error_type, "Flag '%c' is not supported.",
                         static_cast<unsigned char>(*letter));
            return false;
        }
    }
    return true;
}

bool has_embedded_nul(const char *text, Py_ssize_t size)
{
    if (std::strlen(text) == static_cast<size_t>(size)) {
        return false;
    }
    PyErr_SetString(PyExc_ValueError, "embedded null character");
    return true;
}

// Reads the flags string and the mode, in the order the checks must run.
bool parse_open_options(PyObject *const *args, Py_ssize_t nargs, module_state *state,
                        int *flags, int *mode)
{
    if (!PyUnicode_Check(args[1])) {
        _PyArg_BadArgument("open", "argument 2", "str", args[1]);
        return false;
    }
    Py_ssize_t size;
    const char *letters = fallible::utf8_of(args[1], &size);
    if (letters == nullptr || has_embedded_nul(letters, size)) {
        return false;
    }
    if (nargs == 3) {
        *mode = PyLong_AsInt(args[2]);
        if (*mode == -1 && PyErr_Occurred()) {
            return false;
        }
    }
    return parse_flags(letters, state, flags);
}

int open_mode_bits(int flags)
{
    switch (flags & GDBM_OPENMASK) {
    case GDBM_READER: return O_RDONLY;
    case GDBM_WRITER: return O_RDWR;
    default: return O_RDWR | O_CREAT;
    }
}

}  // namespace

// The descriptor is checked, not the name, so nothing can be swapped in
// between.
bool open_regular_file(module_state *state, const char *name, int flags, int mode, int *fd)
{
    Descriptor file(open(name, open_mode_bits(flags) | O_NONBLOCK | O_CLOEXEC, mode));
    struct stat status;
    if (file.get() < 0 || fstat(file.get(), &status) != 0) {
        raise_errno_first(state, "open() error", name);
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        raise_os_error(state, EISDIR, std::strerror(EISDIR), name);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        raise_os_error(state, EINVAL, "Not a regular file", name);
        return false;
    }
    int status_flags = fcntl(file.get(), F_GETFL);
    if (status_flags == -1 || fcntl(file.get(), F_SETFL, status_flags & ~O_NONBLOCK) == -1) {
        raise_errno_first(state, "open() error", name);
        return false;
    }
    *fd = file.hand_on();
    return true;
}

namespace {

// The absolute, symlink-free name of the file open on `fd`: the library
// names its rewrite after it (reorganize(), recover()), so that neither a
// later chdir() nor a symlink can send the rewrite elsewhere.
CString resolved_name(module_state *state, const char *name, int fd)
{
    CString resolved(realpath(name, nullptr));
    struct stat named, opened;
    if (!resolved || stat(resolved.get(), &named) != 0 || fstat(fd, &opened) != 0) {
        raise_errno_first(state, "open() error", name);
        return nullptr;
    }
    if (named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
        raise_os_error(state, EAGAIN, "The file was replaced while it was being opened", name);
        return nullptr;
    }
    return resolved;
}

// Opens the database file `name` for `db`; false with `error` set.
bool open_handle(database_object *db, module_state *state, const char *name, int flags,
                 int mode)
{
    int fd;
    if (!open_regular_file(state, name, flags, mode, &fd)) {
        return false;
    }
    Descriptor file(fd);
    CString resolved = resolved_name(state, name, fd);
    if (!resolved) {
        return false;
    }
    errno = 0;
    // The library closes the descriptor when it fails, and owns it otherwise.
    db->handle = gdbm_fd_open(file.hand_on(), resolved.get(), 0,
                              flags | GDBM_CLOEXEC | GDBM_CLOERROR, nullptr);
    if (db->handle != nullptr) {
        db->name = resolved.release();
        return true;
    }
    raise_errno_first(state, "gdbm_open() error", name);
    return false;
}

}  // namespace

PyObject *open_database(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 3) {
        _PyArg_CheckPositional("open", nargs, 1, 3);
        return nullptr;
    }
    module_state *state = static_cast<module_state *>(PyModule_GetState(module));
    int flags = GDBM_READER;
    int mode = 0666;
    if (nargs >= 2 && !parse_open_options(args, nargs, state, &flags, &mode)) {
        return nullptr;
    }
    // The converter refuses names with an embedded NUL byte itself.
    PyObject *converted = nullptr;
    if (!fallible::fs_converter(args[0], &converted)) {
        return nullptr;
    }
    Ref name(converted);
    Ref self(reinterpret_cast<PyObject *>(
        fallible::gc_new<database_object>(state->database_type)));
    if (!self) {
        return nullptr;
    }
    database_object *db = as_db(self.borrow());
    db->known_size = -1;
    db->handle = nullptr;
    db->state = state;
    db->name = nullptr;
    db->opener = this_process();
    db->writable = (flags & GDBM_OPENMASK) != GDBM_READER;
    db->sync_each_change = (flags & GDBM_SYNC) != 0;
    db->busy_with = nullptr;
    PyObject_GC_Track(self.borrow());
    bool opened = open_handle(db, state, PyBytes_AS_STRING(name.borrow()), flags, mode);
    return opened ? self.steal() : nullptr;
}

const char open_doc[] =
"open($module, filename, flags='r', mode=0o666, /)\n--\n\n"
"Open a dbm database and return a dbm object.\n"
"\n"
"The filename argument is the name of the database file.\n"
"\n"
"The optional flags argument can be 'r' (to open an existing database\n"
"for reading only -- default), 'w' (to open an existing database for\n"
"reading and writing), 'c' (which creates the database if it doesn't\n"
"exist), or 'n' (which always creates a new empty database).\n"
"\n"
"Some versions of gdbm support additional flags which must be\n"
"appended to one of the flags described above.  The module constant\n"
"'open_flags' is a string of valid additional flags.  The 'f' flag\n"
"opens the database in fast mode; altered data will not automatically\n"
"be written to the disk after every change.  This results in faster\n"
"writes to the database, but may result in an inconsistent database\n"
"if the program crashes while the database is still open.  Use the\n"
"sync() method to force any unwritten data to be written to the disk.\n"
"The 's' flag causes all database operations to be synchronized to\n"
"disk.  The 'u' flag disables locking of the database file.\n"
"\n"
"The optional mode argument is the Unix mode of the file, used only\n"
"when the database has to be created.  It defaults to octal 0o666.";

}  // namespace kvstore
