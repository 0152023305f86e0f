// The base type of the kvstore package's Database (mapping_base.cpp) and
// its walks over keys, values and items (mapping_walk.cpp). The base holds
// the gdbm object that the package opened and runs every per-record
// operation through the gdbm object's own paths, inside its critical
// section, with no Python frame between the caller and the library.
#ifndef KVSTORE_MAPPING_BASE_H
#define KVSTORE_MAPPING_BASE_H

#include "database.h"

namespace kvstore {

struct mapping_object {
    PyObject_HEAD
    // The gdbm object, set once by the package's __init__ (as _raw) and
    // never replaced, so that it can be read without the lock.
    PyObject *raw;
    module_state *state;
    // The package's running batch (set as _batch), or null: while one runs,
    // every per-record operation is the batch's, which keeps the changes in
    // memory until the batch commits them.
    PyObject *batch;
};

inline mapping_object *as_mapping(PyObject *self)
{
    return reinterpret_cast<mapping_object *>(self);
}

// The gdbm object under `self`; null with `error` set when none was given
// (a Database whose __init__ did not run), which counts as closed.
inline PyObject *raw_of(mapping_object *m)
{
    if (m->raw == nullptr) {
        raise_error(m->state, closed_message);
    }
    return m->raw;
}

// The base of the package's batch (batch_base.cpp), the only kind of
// object that _batch takes.
struct batch_object {
    PyObject_HEAD
    PyObject *changes;
    PyObject *length;
    Py_ssize_t walkers;
    unsigned long owner;
    bool active;
};

inline batch_object *as_batch(PyObject *self)
{
    return reinterpret_cast<batch_object *>(self);
}

// Records `value` under `key` in the running `batch` without a Python
// call: 1 when done, 0 when the batch's class has to do it (another thread,
// a count or walk to keep up, data that is not exact bytes or str), -1
// with an exception set.
int record_change(PyObject *batch, PyObject *key_obj, PyObject *value_obj);

enum class WalkKind { keys, values, items };

// A new walk over `mapping`'s records, yielding `kind`.
PyObject *new_walk(PyObject *mapping, WalkKind kind);

}  // namespace kvstore

#endif
