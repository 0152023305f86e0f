// Backups in gdbm's dump formats: dump() writes every record to a file that
// gdbm's own tools (gdbm_load, gdbmtool) read, and load() stores the records
// of a dump file, whether this module or those tools wrote it. Both run in
// steps (steps.h), and both do all or nothing: a dump appears under its
// name only once complete, and a load that fails leaves the database file
// as it was.
#include "arguments.h"
#include "dump_reader.h"
#include "dump_writer.h"
#include "files.h"
#include "interpreter_private.h"
#include "key_walk.h"
#include "output_file.h"
#include "rewrite.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

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
    out = Ref::take(converted);
    return true;
}

// ---- dump ---------------------------------------------------------------------

bool to_ascii(PyObject *name, bool *ascii)
{
    if (!PyUnicode_Check(name)) {
        _PyArg_BadArgument("dump", "argument 2", "str", name);
        return false;
    }
    *ascii = PyUnicode_EqualToUTF8(name, "ascii");
    if (*ascii || PyUnicode_EqualToUTF8(name, "binary")) {
        return true;
    }
    PyErr_Format(PyExc_ValueError, "dump format must be 'ascii' or 'binary', not %R", name);
    return false;
}

bool is_numsync([[maybe_unused]] database_object &db)
{
#ifdef GDBM_GETDBFORMAT
    int format = 0;
    return gdbm_setopt(db.handle, GDBM_GETDBFORMAT, &format, sizeof format) == 0 &&
           (format & GDBM_NUMSYNC) != 0;
#else
    return false;  // a library older than the extended format
#endif
}

// Every record, in the library's order.
bool write_records(database_object &db, DumpWriter &writer, Steps &steps, Py_ssize_t count)
{
    KeyWalk walk(count);
    while (walk.next(db)) {
        LibDatum value(gdbm_fetch(db.handle, walk.key().view()));
        if (!value) {
            raise_failure(db.state, library_failure("gdbm_fetch() error"));
            return false;
        }
        // An empty key or value is written with its zero length, as gdbm's
        // formats have it (README, Backups, says which of gdbm's own tools
        // cannot read such a record back).
        if (!writer.record(walk.key().view(), value.view()) || !steps.advance()) {
            return false;
        }
    }
    return walk.finished();
}

PyObject *dump_file(database_object &db, const char *name, bool ascii, PyObject *progress)
{
    Py_ssize_t count = library_count(db);
    if (count < 0) {
        return nullptr;
    }
    if (ascii && !DumpWriter::can_record_name(db.name)) {
        raise_error(db.state, "the database file's name holds a line break, or a comma with a "
                              "quote or a backslash, which the 'ascii' dump format cannot "
                              "record: use the 'binary' format");
        return nullptr;
    }
    struct stat db_file;
    if (fstat(gdbm_fdesc(db.handle), &db_file) != 0) {
        raise_failure(db.state, errno_first("fstat() error", db.name));
        return nullptr;
    }
    OutputFile out(db.state, name);
    DumpWriter writer(out, ascii);
    if (!out.create(db_file) || !writer.header(db.name, db_file, is_numsync(db))) {
        return nullptr;
    }
    Steps steps(db, "dump", progress, count);
    // The last report comes before the rename: a progress callable that
    // raises then still leaves the file under that name as it was.
    bool written = write_records(db, writer, steps, count) &&
                   writer.end(static_cast<size_t>(count)) && steps.finish() && out.commit();
    return written ? Py_NewRef(Py_None) : nullptr;
}

// ---- load ---------------------------------------------------------------------

void raise_cannot_replace(module_state *state, datum key)
{
    // A key is shown, not written out whole: it may be megabytes long.
    constexpr int shown = 64;
    Ref start = Ref::take(fallible::new_bytes(key.dptr, std::min(key.dsize, shown)));
    if (start) {
        raise_error(state, "%s: the key %R%s is already stored (replace=True replaces it)",
                    gdbm_strerror(GDBM_CANNOT_REPLACE), start.get(),
                    key.dsize > shown ? "..." : "");
    }
}

// Stores the dump's records in `to`, the new file, after the database's own.
bool store_records(GDBM_FILE to, module_state *state, const DumpContents &dump, bool replace,
                   Steps &steps)
{
    int flag = replace ? GDBM_REPLACE : GDBM_INSERT;
    for (size_t record = 0; record < dump.records(); ++record) {
        datum key = dump.key(record);
        int result =
            errno_first_call([&] { return gdbm_store(to, key, dump.value(record), flag); });
        if (result != 0) {
            if (result == 1) {
                raise_cannot_replace(state, key);
            }
            else {
                raise_failure(state, errno_first("gdbm_store() error"));
            }
            return false;
        }
        if (!steps.advance()) {
            return false;
        }
    }
    return true;
}

// Without replace, a key the database holds already refuses the load
// before anything is stored.
bool refuse_stored_keys(database_object &db, const DumpContents &dump, Steps &steps)
{
    for (size_t record = 0; record < dump.records(); ++record) {
        datum key = dump.key(record);
        if (gdbm_exists(db.handle, key)) {
            raise_cannot_replace(db.state, key);
            return false;
        }
        // A miss leaves "no error" or "item not found", depending on the release.
        if (raise_unless_miss(db.state, "gdbm_exists() error", true) || !steps.advance()) {
            return false;
        }
    }
    return true;
}

// Reads the whole dump and checks it against the database. This part is
// paced too, but tells no progress: the count is not known until the
// whole file is read.
bool read_dump(database_object &db, const char *name, bool replace, DumpContents &dump)
{
    // Without blocking, on a FIFO say; the descriptor is checked, not the
    // name, so nothing can be swapped in between.
    Descriptor file(open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (file.get() < 0 || fstat(file.get(), &status) != 0) {
        raise_failure(db.state, errno_first("open() error", name));
        return false;
    }
    if (!ensure_regular(db.state, status, name)) {
        return false;
    }
    Steps checking(db, "load", nullptr, 0);
    return read_dump_file(db.state, name, file.get(), checking, dump) &&
           (replace || refuse_stored_keys(db, dump, checking));
}

// A load's start: the database may take the records, and the dump is read
// and checked whole.
bool begin_load(database_object &db, const char *name, bool replace, DumpContents &dump)
{
    if (!may_change(db)) {
        return false;
    }
    if (!db.writable) {
        // As any store through a reader is refused, before anything is read.
        gdbm_set_errno(db.handle, GDBM_READER_CANT_STORE, false);
        raise_failure(db.state, library_failure("gdbm_store() error"));
        return false;
    }
    return read_dump(db, name, replace, dump);
}

PyObject *load_file(database_object &db, const char *name, bool replace, PyObject *progress)
{
    DumpContents dump;
    if (!begin_load(db, name, replace, dump)) {
        return nullptr;
    }
    // The records go into a new file with the database's own, which takes
    // the database's name only once all is written: a failure anywhere
    // before leaves the database file byte for byte as it was.
    Rewrite rewrite(db);
    if (!rewrite.begin()) {
        return nullptr;
    }
    Steps steps(db, "load", progress,
                rewrite.records() + static_cast<Py_ssize_t>(dump.records()));
    // The dump's owner and mode replace the database's.
    bool loaded = rewrite.copy(steps) &&
                  store_records(rewrite.target(), db.state, dump, replace, steps) &&
                  steps.finish() && rewrite.settle() &&
                  dump.metadata().apply(db.state, gdbm_fdesc(rewrite.target()), db.name) &&
                  rewrite.take_name();
    return loaded ? Py_NewRef(Py_None) : nullptr;
}

// The dump's records as a dict; without replace, a key given twice is
// refused as a stored one is.
PyObject *records_of(module_state *state, const DumpContents &dump, bool replace)
{
    Ref records = Ref::take(fault::injected() ? nullptr : PyDict_New());
    for (size_t record = 0; records && record < dump.records(); ++record) {
        datum key = dump.key(record);
        datum value = dump.value(record);
        Ref key_obj = Ref::take(fallible::new_bytes(key.dptr, key.dsize));
        Ref value_obj = Ref::take(fallible::new_bytes(value.dptr, value.dsize));
        if (!key_obj || !value_obj) {
            return nullptr;
        }
        if (!replace && PyDict_Contains(records.get(), key_obj.get()) != 0) {
            if (!PyErr_Occurred()) {
                raise_cannot_replace(state, key);
            }
            return nullptr;
        }
        if (PyDict_SetItem(records.get(), key_obj.get(), value_obj.get()) < 0) {
            return nullptr;
        }
    }
    return records.release();
}

// load() with the records handed to `commit` (the kvstore package's batch,
// which writes them in place, all or none) instead of a rewrite of the file.
PyObject *load_with(database_object &db, const char *name, bool replace, PyObject *commit)
{
    DumpContents dump;
    if (!begin_load(db, name, replace, dump)) {
        return nullptr;
    }
    Ref records = Ref::take(records_of(db.state, dump, replace));
    if (!records) {
        return nullptr;
    }
    Ref committed = Ref::take(PyObject_CallOneArg(commit, records.get()));
    // The commit ran Python code, which may have closed the object.
    if (!committed || !ensure_open(db) ||
        !dump.metadata().apply(db.state, gdbm_fdesc(db.handle), db.name)) {
        return nullptr;
    }
    return Py_NewRef(Py_None);
}

// ---- the methods ----------------------------------------------------------------

bool to_replace(PyObject *replace, bool *flag)
{
    int truth = PyObject_IsTrue(replace);
    *flag = truth > 0;
    return truth >= 0;
}

using OptionParser = bool (*)(PyObject *, bool *);
using FileBody = PyObject *(*)(database_object &, const char *, bool, PyObject *);

// dump() and load(): a file name and an optional second argument, both
// positional only, and the keyword progress; checked before the closed
// check.
template <method_name Name, method_name Format, OptionParser parse_option, bool default_option,
          FileBody body>
PyObject *file_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static const char *const keywords[] = {"", "", "progress", nullptr};
    static _PyArg_Parser parser = argument_parser(Format.text, keywords);
    PyObject *name_obj;
    PyObject *option_obj = nullptr;
    PyObject *progress = Py_None;
    if (!_PyArg_ParseStackAndKeywords(args, nargs, kwnames, &parser, &name_obj, &option_obj,
                                      &progress)) {
        return nullptr;
    }
    bool option = default_option;
    if (option_obj != nullptr && !parse_option(option_obj, &option)) {
        return nullptr;
    }
    Ref path;
    if (!is_progress(Name.text, progress) || !to_path(name_obj, path)) {
        return nullptr;
    }
    const char *name = PyBytes_AS_STRING(path.get());
    return on_open(self,
                   [&](database_object &db) { return body(db, name, option, progress); });
}

}  // namespace

PyObject *db_dump(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return file_method<"dump", "O|O$O:dump", to_ascii, true, dump_file>(self, args, nargs,
                                                                       kwnames);
}

PyObject *db_load(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return file_method<"load", "O|O$O:load", to_replace, false, load_file>(self, args, nargs,
                                                                          kwnames);
}

PyObject *db_load_with(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (!_PyArg_CheckPositional("_load_with", nargs, 3, 3)) {
        return nullptr;
    }
    bool replace;
    Ref path;
    if (!to_replace(args[1], &replace) || !to_path(args[0], path)) {
        return nullptr;
    }
    const char *name = PyBytes_AS_STRING(path.get());
    return on_open(self,
                   [&](database_object &db) { return load_with(db, name, replace, args[2]); });
}

const char load_with_doc[] =
"_load_with($self, filename, replace, commit, /)\n--\n\n"
"load() for the kvstore package's batches: the dump is read and checked as\n"
"load() does, then commit(records), given the dump's records as a dict,\n"
"stores them, and the dump's owner and mode are applied as load() applies\n"
"them.  The file is not rewritten.";

const char dump_doc[] =
"dump($self, filename, format='ascii', /, *, progress=None)\n--\n\n"
"Write every record to a dump file that gdbm's own tools read.\n"
"\n"
"format is 'ascii', a portable text file that also records the database\n"
"file's name, mode and owner, or 'binary', the older and more compact\n"
"format, which has no end mark.  The file is written beside filename and\n"
"renamed over it once complete and on the disk: a dump that fails leaves\n"
"no file behind and an existing file as it was, and one left by a process\n"
"killed in an earlier dump to filename is removed.  filename must be a\n"
"regular file or missing, and not the database's own file; through a\n"
"symbolic link, even a dangling one, the file it names is written.  An empty\n"
"key or value is written with its zero length, as gdbm's formats carry\n"
"it, though gdbm_load may not read such a record back.\n"
"\n"
"The work runs in short steps; between them other threads run and\n"
"progress(done, total), when given, is called with the records written\n"
"so far, ending with (total, total).  If it raises, the dump stops and\n"
"the exception propagates.  Meanwhile a call on this object from another\n"
"thread waits until the dump returns; one from progress raises error.";

const char load_doc[] =
"load($self, filename, replace=False, /, *, progress=None)\n--\n\n"
"Store every record of a dump file in the database.\n"
"\n"
"The file, a regular file, may be in either format that dump() writes.\n"
"The whole file is read and checked first: a file that is not a complete\n"
"dump raises error('Malformed data: ...').  A key that is already stored\n"
"raises error unless replace is true; the database must be open for\n"
"writing.  The database's records and the dump's are written into a new\n"
"file beside the database, locked from the start, which then takes the\n"
"database's name, mode and (where permitted) owner, as in compact():\n"
"any failure, or a progress that raises, removes the new file and leaves\n"
"the database file byte for byte as it was.  An ASCII dump also sets the\n"
"file's mode and, as root, its owner to those it records.  A\n"
"failure_atomic() setting does not carry over to the new file.\n"
"\n"
"Steps and progress(done, total) are as in dump(), counting the records\n"
"written to the new file: the database's own, then the dump's.";

}  // namespace kvstore
