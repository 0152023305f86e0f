// How a database object ends: close(), the with statement, and the
// collector's hooks.
#include "database.h"

#include <cerrno>
#include <utility>

namespace kvstore {

namespace {

// Releases the handle; the object is closed afterwards whatever the library
// reports. Returns false with `error` set when the final write failed.
bool close_handle(database_object *db, module_state *state)
{
    GDBM_FILE handle = std::exchange(db->handle, nullptr);
    if (handle == nullptr) {
        return true;
    }
    errno = 0;
    if (gdbm_close(handle) == 0) {
        return true;
    }
    raise_errno_first(state, "gdbm_close() error");
    return false;
}

}  // namespace

PyObject *db_close(PyObject *self, PyObject *)
{
    module_state *state = state_of_object(self);
    bool closed = with_lock(self, [&] { return close_handle(as_db(self), state); });
    if (!closed) {
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
    database_object *db = as_db(self);
    if (db->handle != nullptr) {
        // Nobody is left to hear a failure here.
        gdbm_close(db->handle);
    }
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
