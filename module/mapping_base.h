// The base type of the kvstore package's Database (mapping_base.cpp) and
// its walks over keys, values and items (mapping_walk.cpp). The base holds
// the gdbm object that the package opened and runs every per-record
// operation through one table of operations: the file's, which run the
// gdbm object's own paths inside its critical section with no Python frame
// between the caller and the library, or a running batch's
// (pending_changes.cpp), which keep the changes in memory until the
// package commits them.
#ifndef KVSTORE_MAPPING_BASE_H
#define KVSTORE_MAPPING_BASE_H

#include "database.h"

namespace kvstore {

struct mapping_ops;

struct mapping_object {
    PyObject_HEAD
    // The gdbm object, set once by the package's __init__ (as _raw) and
    // never replaced, so that it can be read without the lock.
    PyObject *raw;
    module_state *state;
    // The package's running batch (set as _batch), or null.
    PyObject *batch;
    // The operations of the mapping as it stands: the file's, or the
    // running batch's. Swapped only with `batch`, at a batch's start and end.
    const mapping_ops *ops;
};

inline mapping_object *as_mapping(PyObject *self)
{
    return reinterpret_cast<mapping_object *>(self);
}

// The per-record operations, one table for the file and one for a batch.
// `assign` deletes the key when `value` is null.
struct mapping_ops {
    PyObject *(*subscript)(mapping_object *m, PyObject *key);
    int (*assign)(mapping_object *m, PyObject *key, PyObject *value);
    Py_ssize_t (*length)(mapping_object *m);
    int (*contains)(mapping_object *m, PyObject *key);
    int (*is_true)(mapping_object *m);
    PyObject *(*get)(mapping_object *m, PyObject *const *args, Py_ssize_t nargs);
    PyObject *(*setdefault)(mapping_object *m, PyObject *const *args, Py_ssize_t nargs);
    PyObject *(*pop)(mapping_object *m, PyObject *const *args, Py_ssize_t nargs);
    PyObject *(*popitem)(mapping_object *m);
    PyObject *(*clear)(mapping_object *m);
};

extern const mapping_ops file_ops;
extern const mapping_ops batch_ops;

// The gdbm object under `self`; null with `error` set when none was given
// (a Database whose __init__ did not run), which counts as closed.
inline PyObject *raw_of(mapping_object *m)
{
    if (m->raw == nullptr) {
        raise_error(m->state, closed_message);
    }
    return m->raw;
}

// pending_changes.cpp: while another thread's batch runs on `m`, waits for
// its end (its thread holds the batch's lock from start to end). True with
// `*own` the batch that this thread runs on `m`, or null when none runs;
// false with an exception set when the wait failed.
bool wait_for_other_batches(mapping_object *m, PyObject **own);

inline bool settle_batch(mapping_object *m, PyObject **own)
{
    if (m->batch == nullptr) [[likely]] {
        *own = nullptr;
        return true;
    }
    return wait_for_other_batches(m, own);
}

// The package's batch ends on `m`: its walkers and count let go of the file.
void end_batch(mapping_object *m);
// False with TypeError set unless `batch` may run on `m`.
bool may_run_on(mapping_object *m, PyObject *batch);

enum class WalkKind { keys, values, items };

// A new walk over `mapping`'s records, yielding `kind`: the file's, or the
// running batch's as it stands at each step.
PyObject *new_walk(PyObject *mapping, WalkKind kind);

}  // namespace kvstore

#endif
