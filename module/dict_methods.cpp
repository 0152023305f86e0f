// The dictionary-style methods: get(), setdefault() and clear().
#include "database.h"
#include "interpreter_private.h"

#include <vector>

namespace kvstore {

PyObject *fetch_or_store(database_object *db, module_state *state, PyObject *key_obj, datum key,
                         PyObject *fallback, bool *stored)
{
    *stored = false;
    bool missing;
    PyObject *value = lookup(db, state, key, &missing);
    if (!missing) {
        return value;
    }
    if (assign(db, state, key_obj, key, fallback) < 0) {
        return nullptr;
    }
    *stored = true;
    // Read back, so the caller gets the stored bytes, not the object given.
    return lookup_or_key_error(db, state, key_obj, key);
}

namespace {

PyObject *get_value(database_object *db, module_state *state, PyObject *, datum key,
                    PyObject *fallback)
{
    bool missing;
    PyObject *value = lookup(db, state, key, &missing);
    return missing ? Py_NewRef(fallback) : value;
}

PyObject *set_default(database_object *db, module_state *state, PyObject *key_obj, datum key,
                      PyObject *fallback)
{
    bool stored;
    return fetch_or_store(db, state, key_obj, key, fallback, &stored);
}

using KeyedBody = PyObject *(*)(database_object *, module_state *, PyObject *, datum, PyObject *);

// get() and setdefault(): a key and an optional default (None), positional
// only; the whole method runs in one critical section.
template <const char *Name, KeyedBody body>
PyObject *key_default_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 2) {
        _PyArg_CheckPositional(Name, nargs, 1, 2);
        return nullptr;
    }
    InputDatum key;
    if (!key.convert(args[0], lookup_key)) {
        return nullptr;
    }
    PyObject *fallback = nargs == 2 ? args[1] : Py_None;
    module_state *state = state_of_object(self);
    return with_lock(self,
                     [&] { return body(as_db(self), state, args[0], key.get(), fallback); });
}

constexpr const char get_name[] = "get";
constexpr const char setdefault_name[] = "setdefault";
constexpr const char clear_name[] = "clear";

// clear() deletes in batches gathered by one walk: asking for the first key
// before every deletion would make it quadratic in the number of records.
constexpr size_t clear_batch_keys = 4096;
constexpr size_t clear_batch_bytes = size_t{4} << 20;

// Collects up to a batch of keys from the start of the traversal. Returns
// false with an exception set when the library fails.
bool gather_keys(database_object *db, module_state *state, std::vector<LibDatum> &batch)
{
    size_t bytes = 0;
    const char *call = "gdbm_firstkey() error";
    LibDatum key(gdbm_firstkey(db->handle));
    while (key) {
        LibDatum next(gdbm_nextkey(db->handle, key.view()));
        bytes += static_cast<size_t>(key.view().dsize);
        batch.push_back(std::move(key));
        if (batch.size() == clear_batch_keys || bytes >= clear_batch_bytes) {
            return true;
        }
        key = std::move(next);
        call = "gdbm_nextkey() error";
    }
    return !raise_unless_miss(state, call);
}

PyObject *clear_records(database_object *db, module_state *state)
{
    if (!may_change(db, state)) {
        return nullptr;
    }
    db->known_size = -1;
    std::vector<LibDatum> batch;
    if (!fallible::reserve(batch, clear_batch_keys)) {
        return nullptr;
    }
    for (;;) {
        if (!gather_keys(db, state, batch)) {
            return nullptr;
        }
        if (batch.empty()) {
            return commit_change(db, state) ? Py_NewRef(Py_None) : nullptr;
        }
        for (const LibDatum &key : batch) {
            if (gdbm_delete(db->handle, key.view()) < 0) {
                raise_error(state, "cannot delete item from database");
                return nullptr;
            }
            if (flush_failed_unreported(db, state)) {
                return nullptr;
            }
        }
        batch.clear();
    }
}

}  // namespace

PyObject *db_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return key_default_method<get_name, get_value>(self, args, nargs);
}

PyObject *db_setdefault(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return key_default_method<setdefault_name, set_default>(self, args, nargs);
}

PyObject *db_clear(PyObject *self, PyTypeObject *defining_class, PyObject *const *args,
                   Py_ssize_t nargs, PyObject *kwnames)
{
    return no_argument_method<clear_name, clear_records>(self, defining_class, args, nargs,
                                                         kwnames);
}

const char get_doc[] =
"get($self, key, default=None, /)\n--\n\n"
"Get the value for key, or default if not present.";

const char setdefault_doc[] =
"setdefault($self, key, default=None, /)\n--\n\n"
"Get value for key, or set it to default and return default if not present.";

const char clear_doc[] =
"clear($self, /)\n--\n\n"
"Remove all items from the database.";

}  // namespace kvstore
