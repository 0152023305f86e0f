// How a database object ends: close(), the with statement, and the
// collector's hooks.
#include "database.h"

#include <cstdlib>
#include <unistd.h>

namespace kvstore {

namespace {

// Releases the handle; the object is closed afterwards whatever the library
// reports. A long operation of another thread, which still needs the
// handle, is waited for first; a child forked during one closes its copy at
// once. Returns false with `error` set when the final write failed, or when
// the progress callable of a long operation closes its database.
// Closing a closed object is fine: it makes no use check.
bool close_handle(database_object &db)
{
    if (db.busy_with != nullptr && db.busy_in == this_process() && !wait_for_long_work(db)) {
        return false;
    }
    GDBM_FILE handle = take_handle(db);
    if (handle == nullptr) {
        return true;
    }
    if (errno_first_call([&] { return release_handle(handle, db.opener); }) == 0) {
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
        release_handle(db.handle, db.opener);
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
