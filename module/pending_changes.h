// The pending changes of the kvstore package's running batch
// (_kvstore._Batch, pending_changes.cpp): a mapping over the gdbm object's
// file that the Database's operations go through while the batch runs.
// The package keeps the block around it: the lock, nesting, the commit.
#ifndef KVSTORE_PENDING_CHANGES_H
#define KVSTORE_PENDING_CHANGES_H

#include "mapping_base.h"

namespace kvstore {

struct batch_object {
    PyObject_HEAD
    // The gdbm object whose file the changes are for, set once.
    PyObject *raw;
    // Each key's new value, or None for a deletion: a dict of bytes whose
    // entries are only ever added or replaced, so that a walk's position
    // in it stays good while the file's change count says nothing moved.
    PyObject *changes;
    // Held by the thread that started the batch, from its start to its end.
    PyObject *lock;
    unsigned long owner;
    // The number of records the batch shows, right while the file's change
    // count is `counted_at`; -1 until asked. While it is kept, the batch
    // counts among the file's walkers, so that every key that the file
    // gains or loses moves that count.
    Py_ssize_t length;
    uint64_t counted_at;
    bool counting;
    // clear() was called: no record of the file counts.
    bool cleared;
};

inline batch_object *as_batch(PyObject *self)
{
    return reinterpret_cast<batch_object *>(self);
}

// The key as the file holds it, for a key of the changes.
inline datum datum_of(PyObject *bytes)
{
    return datum{PyBytes_AS_STRING(bytes), static_cast<int>(PyBytes_GET_SIZE(bytes))};
}

// What the batch shows under `key` (`key_obj` its bytes): 1 with `value`
// set, 0 when it shows none, -1 with an exception set.
int shown_value(batch_object *b, database_object &db, PyObject *key_obj, datum key, Ref &value);

// Whether a key of the changes is one the file does not show: one the
// batch adds rather than replaces. 1 or 0, or -1 with an exception set.
int added_by(batch_object *b, database_object &db, PyObject *key_obj);

}  // namespace kvstore

#endif
