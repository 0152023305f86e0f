// A run of changes as the kvstore package's batches give it: a dict of
// bytes keys to bytes, or to None for a deletion. _apply() stores the run;
// the batch's journal (journal.h) keeps what it replaces.
#ifndef KVSTORE_CHANGE_RUNS_H
#define KVSTORE_CHANGE_RUNS_H

#include "database.h"

namespace kvstore {

// Calls `each(key, value)` for each change of the dict `changes` (bytes
// keys to bytes, or to None for a deletion, whose `value` is null) in the
// dict's order, holding it, until a call fails; false with an exception set.
template <class Each>
bool for_each_change(PyObject *changes, Each each)
{
    bool done = true;
    Py_ssize_t position = 0;
    PyObject *key;
    PyObject *value;
    Py_BEGIN_CRITICAL_SECTION(changes);
    while (done && PyDict_Next(changes, &position, &key, &value)) {
        InputDatum k;
        InputDatum v;
        if (!PyBytes_CheckExact(key) || (value != Py_None && !PyBytes_CheckExact(value))) {
            PyErr_SetString(PyExc_TypeError,
                            "a batch's changes are a dict of bytes to bytes or None");
            done = false;
        }
        else if (value == Py_None) {
            done = k.convert(key, lookup_key) && each(k.get(), nullptr);
        }
        else {
            done = k.convert(key, lookup_key) && v.convert(value, lookup_key);
            datum stored = v.get();
            done = done && each(k.get(), &stored);
        }
    }
    Py_END_CRITICAL_SECTION();
    return done;
}

}  // namespace kvstore

#endif
