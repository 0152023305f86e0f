// How a database object ends: close(), the with statement, and the
// collector's hooks.
#include "database.h"

#include <cstdlib>
#include <unistd.h>

namespace kvstore {

namespace {

// In a child of fork() the handle is a copy of the parent's: closing it
// through the library would write the copy's cache over the parent's
// records and unlock the file the parent still holds (a flock() lock
// belongs to the open file that both processes share). There only the
// child's descriptor is closed; the copy's memory stays with the child,
// which never uses it again. Returns the library's result otherwise.
int release(database_object &db, GDBM_FILE handle)
{
    if (db.opener != this_process()) {
        close(gdbm_fdesc(handle));
        return 0;
    }
    return gdbm_close(handle);
}

// Releases the handle; the object is closed afterwards whatever the library
// reports. Returns false with `error` set when the final write failed, or
// when a long operation is between its steps (it still needs the handle).
// Closing a closed object is fine: it makes no use check.
bool close_handle(database_object &db)
{
    if (db.busy_with != nullptr) {
        raise_unavailable(db);
        return false;
    }
    GDBM_FILE handle = take_handle(db);
    if (handle == nullptr) {
        return true;
    }
    if (errno_first_call([&] { return release(db, handle); }) == 0) {
        return true;
    }
    raise_failure(db.state, errno_first("gdbm_close() error"));
    return false;
}

}  // namespace

PyObject *db_close(PyObject *self, PyObject *)
{
    if (!in_section(self, [&] { return close_handle(*as_db(self)); })) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *db_exit(PyObject *self, PyObject *)
{
    return db_close(self, nullptr);
}

PyObject *db_enter(PyObject *self, PyObject *)
{
    return Py_NewRef(self);
}

void db_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    database_object &db = *as_db(self);
    if (db.handle != nullptr) {
        // Nobody is left to hear a failure here.
        release(db, db.handle);
    }
    std::free(db.name);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int db_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    return 0;
}

const char close_doc[] =
"close($self, /)\n--\n\n"
"Close the database.";

}  // namespace kvstore
