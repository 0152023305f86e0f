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
            raise_error(state, "Flag '%c' is not supported.",
                        static_cast<int>(static_cast<unsigned char>(*letter)));
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

// The keyword-only settings of open(). Each tunes the library for this
// handle only: none changes the file's format or when data reaches the disk.
// None, stored as -1 (0 for the block size), keeps the library's choice,
// which is also the default: no other choice made at open was measured
// faster for a handle that both reads and changes without changing what a
// caller sees (README, Performance).
struct settings {
    int block_size = 0;          // of a new file
    int mmap = -1;               // the file mapped into memory
    Py_ssize_t cache_size = -1;  // buckets kept in memory; 0: as many as the file has
    int central_free = -1;       // freed blocks listed in the header only
    int coalesce_blocks = -1;    // adjacent freed blocks merged
};

// Refuses what is not True, False or None: a truth test would take any object.
bool parse_switch(PyObject *value, const char *name, int *out)
{
    if (value != Py_None && !PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError,
                     "open() argument '%s' must be True, False or None, not %T", name, value);
        return false;
    }
    *out = value == Py_None ? -1 : value == Py_True;
    return true;
}

// A whole number from `low` to `high`, or None, which leaves `out` as it is.
bool number_option(PyObject *value, const char *name, Py_ssize_t low, Py_ssize_t high,
                   Py_ssize_t *out)
{
    if (value == Py_None) {
        return true;
    }
    if (PyBool_Check(value) || !PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "open() argument '%s' must be an int or None, not %T",
                     name, value);
        return false;
    }
    // Out-of-range values clip to the bounds of Py_ssize_t, then fail below.
    Py_ssize_t number = PyNumber_AsSsize_t(value, nullptr);
    if (number == -1 && PyErr_Occurred()) {
        return false;
    }
    if (number < low || number > high) {
        PyErr_Format(PyExc_ValueError, "open() argument '%s' must be from %zd to %zd, not %zd",
                     name, low, high, number);
        return false;
    }
    *out = number;
    return true;
}

bool parse_cache_size(PyObject *value, Py_ssize_t *out)
{
    if (!number_option(value, "cache_size", 0, PY_SSIZE_T_MAX, out)) {
        return false;
    }
#ifndef GDBM_SETCACHEAUTO
    if (*out == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "open() argument 'cache_size': this gdbm cannot size its cache by itself");
        return false;
    }
#endif
    return true;
}

// gdbm_open takes a block of at least 512 bytes, as an int; a power of two
// keeps every block aligned on the pages of the file system. The library
// accepts larger blocks than 2**28, then fails at the first store
// ("Malformed avail_block"), leaving a file of gigabytes behind.
constexpr Py_ssize_t largest_block_size = Py_ssize_t{1} << 28;

bool parse_block_size(PyObject *value, int *out)
{
    Py_ssize_t size = 0;
    if (!number_option(value, "block_size", 512, largest_block_size, &size)) {
        return false;
    }
    if ((size & (size - 1)) != 0) {
        PyErr_Format(PyExc_ValueError,
                     "open() argument 'block_size' must be a power of two, not %zd", size);
        return false;
    }
    *out = static_cast<int>(size);
    return true;
}

bool parse_setting(PyObject *name, PyObject *value, settings *out)
{
    auto is = [name](const char *text) {
        return PyUnicode_CompareWithASCIIString(name, text) == 0;
    };
    if (is("mmap")) {
        return parse_switch(value, "mmap", &out->mmap);
    }
    if (is("central_free")) {
        return parse_switch(value, "central_free", &out->central_free);
    }
    if (is("coalesce_blocks")) {
        return parse_switch(value, "coalesce_blocks", &out->coalesce_blocks);
    }
    if (is("cache_size")) {
        return parse_cache_size(value, &out->cache_size);
    }
    if (is("block_size")) {
        return parse_block_size(value, &out->block_size);
    }
    if (is("filename") || is("flags") || is("mode")) {
        PyErr_Format(PyExc_TypeError,
                     "open() got some positional-only arguments passed as keyword "
                     "arguments: '%U'", name);
        return false;
    }
    PyErr_Format(PyExc_TypeError, "open() got an unexpected keyword argument '%U'", name);
    return false;
}

bool parse_settings(PyObject *const *values, PyObject *kwnames, settings *out)
{
    Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!parse_setting(PyTuple_GET_ITEM(kwnames, i), values[i], out)) {
            return false;
        }
    }
    return true;
}

bool set_option(GDBM_FILE handle, int option, int value)
{
    return value < 0 || gdbm_setopt(handle, option, &value, sizeof value) == 0;
}

bool set_cache_size(GDBM_FILE handle, Py_ssize_t buckets)
{
#ifdef GDBM_SETCACHEAUTO
    if (buckets == 0) {
        return set_option(handle, GDBM_SETCACHEAUTO, 1);
    }
#endif
    size_t size = static_cast<size_t>(buckets);
    return buckets <= 0 || gdbm_setopt(handle, GDBM_SETCACHESIZE, &size, sizeof size) == 0;
}

// The settings that gdbm_open takes no argument for; false when the library
// refuses one. The mapping is switched on here, not off: gdbm_open maps the
// file unless told not to (open_flags()), and each switch costs a flush.
bool apply_settings(GDBM_FILE handle, const settings &chosen)
{
    return set_cache_size(handle, chosen.cache_size) &&
           set_option(handle, GDBM_SETCENTFREE, chosen.central_free) &&
           set_option(handle, GDBM_SETCOALESCEBLKS, chosen.coalesce_blocks) &&
           (chosen.mmap != 1 || set_option(handle, GDBM_SETMMAP, 1));
}

// The library's flags for the handle: the letters' and those of the
// settings that gdbm_open takes. A handle without the mapping is opened
// without one, which costs nothing, rather than mapped and then switched
// off, which flushes the whole file first.
int open_flags(int flags, const settings &chosen)
{
    return flags | GDBM_CLOEXEC | GDBM_CLOERROR | (chosen.mmap == 0 ? GDBM_NOMMAP : 0);
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

// Opens `name` with `bits`; `*created` tells whether this call made the
// file, which O_EXCL alone tells for sure. A symlink that leads nowhere,
// which O_EXCL refuses, is then followed to create its target, as without
// O_EXCL, but the file is not counted as made here.
int open_file(const char *name, int bits, int mode, bool *created)
{
    *created = false;
    if ((bits & O_CREAT) == 0) {
        return open(name, bits, mode);
    }
    int fd = open(name, bits | O_EXCL, mode);
    if (fd >= 0 || errno != EEXIST) {
        *created = fd >= 0;
        return fd;
    }
    fd = open(name, bits & ~O_CREAT);
    return fd >= 0 || errno != ENOENT ? fd : open(name, bits, mode);
}

// Opens `name` as the library would, but without blocking and only when it
// is a regular file: a FIFO would block the opener or half-open, a device
// or a folder is no database. The descriptor is checked, not the name, so
// nothing can be swapped in between.
bool open_regular_file(module_state *state, const char *name, int flags, int mode, int *fd,
                       MadeFile &created_file)
{
    bool created;
    Descriptor file(open_file(name, open_mode_bits(flags) | O_NONBLOCK | O_CLOEXEC, mode,
                              &created));
    struct stat status;
    if (file.get() < 0 || fstat(file.get(), &status) != 0) {
        raise_failure(state, errno_first("open() error", name));
        return false;
    }
    if (created) {
        created_file.record(name, status);
    }
    if (!ensure_regular(state, status, name)) {
        return false;
    }
    int status_flags = fcntl(file.get(), F_GETFL);
    if (status_flags == -1 || fcntl(file.get(), F_SETFL, status_flags & ~O_NONBLOCK) == -1) {
        raise_failure(state, errno_first("open() error", name));
        return false;
    }
    *fd = file.hand_on();
    return true;
}

// The absolute, symlink-free name of the file open on `fd`: the library
// names its rewrite after it (reorganize(), recover()), so that neither a
// later chdir() nor a symlink can send the rewrite elsewhere.
CString resolved_name(module_state *state, const char *name, int fd)
{
    CString resolved(realpath(name, nullptr));
    struct stat named, opened;
    if (!resolved || stat(resolved.get(), &named) != 0 || fstat(fd, &opened) != 0) {
        raise_failure(state, errno_first("open() error", name));
        return nullptr;
    }
    if (named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
        raise_failure(state, system_failure(EAGAIN,
                                            "The file was replaced while it was being opened",
                                            name));
        return nullptr;
    }
    return resolved;
}

// Opens the database file `name` for `db`; false with `error` set.
bool open_handle(database_object &db, const char *name, int flags, int mode,
                 const settings &chosen)
{
    int fd;
    MadeFile created_file;
    if (!open_regular_file(db.state, name, flags, mode, &fd, created_file)) {
        return false;
    }
    Descriptor file(fd);
    CString resolved = resolved_name(db.state, name, fd);
    if (!resolved) {
        return false;
    }
    // The library closes the descriptor when it fails, and owns it otherwise.
    GDBM_FILE handle = errno_first_call([&] {
        return gdbm_fd_open(file.hand_on(), resolved.get(), chosen.block_size,
                            open_flags(flags, chosen), nullptr);
    });
    if (handle == nullptr) {
        raise_failure(db.state, errno_first("gdbm_open() error", name));
        return false;
    }
    if (!apply_settings(handle, chosen)) {
        raise_failure(db.state, library_failure("gdbm_setopt() error"));
        gdbm_close(handle);
        return false;
    }
    db.handle = handle;
    db.usable_in = db.opener;
    db.name = resolved.release();
    created_file.keep();
    return true;
}

}  // namespace

namespace {

// What open() and open_tuned() share: the positional arguments, checked in
// the order open()'s errors must come in, then the object and its file.
PyObject *open_object(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                      const settings &chosen)
{
    if (nargs < 1 || nargs > 3) {
        _PyArg_CheckPositional("open", nargs, 1, 3);
        return nullptr;
    }
    module_state *state = state_of_module(module);
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
    Ref name = Ref::take(converted);
    Ref self = Ref::take(reinterpret_cast<PyObject *>(
        fallible::gc_new<database_object>(state->database_type)));
    if (!self) {
        return nullptr;
    }
    database_object &db = *as_db(self.get());
    db.known_size = -1;
    db.handle = nullptr;
    db.state = state;
    db.name = nullptr;
    db.opener = this_process();
    db.usable_in = 0;
    db.writable = (flags & GDBM_OPENMASK) != GDBM_READER;
    db.locks_file = (flags & GDBM_NOLOCK) == 0;
    db.sync_each_change = (flags & GDBM_SYNC) != 0;
    db.takes_snapshots = false;
    db.busy_with = nullptr;
    db.busy_in = 0;
    db.working_thread = 0;
    db.changes = 0;
    db.walkers = 0;
    db.reserved_to = 0;
    PyObject_GC_Track(self.get());
    bool opened = open_handle(db, PyBytes_AS_STRING(name.get()), flags, mode, chosen);
    return opened ? self.release() : nullptr;
}

}  // namespace

PyObject *open_database(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    return open_object(module, args, nargs, settings{});
}

PyObject *open_tuned(PyObject *module, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    settings chosen;
    if (!parse_settings(args + nargs, kwnames, &chosen)) {
        return nullptr;
    }
    return open_object(module, args, nargs, chosen);
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

const char open_tuned_doc[] =
"_open_tuned($module, filename, flags='r', mode=0o666, /, *, mmap=None,\n"
"            cache_size=None, block_size=None, central_free=None,\n"
"            coalesce_blocks=None)\n--\n\n"
"Open a dbm database as open() does, with gdbm tuned for this handle.\n"
"\n"
"kvstore.open() passes its settings here.  None keeps gdbm's own choice,\n"
"and no setting changes the file's format or when data reaches the disk.\n"
"mmap (True or False) maps the file into memory; cache_size is the\n"
"number of buckets kept in memory (0: as many as the file has);\n"
"block_size is the block size of a new file, a power of two from 512 to\n"
"2**28; central_free (True or False) keeps the list of freed blocks in\n"
"the header only; coalesce_blocks (True or False) merges adjacent freed\n"
"blocks, which makes deleting many records faster.";

}  // namespace kvstore
