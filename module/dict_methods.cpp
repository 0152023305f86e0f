// The dictionary-style methods: get(), setdefault() and clear().
#include "arguments.h"
#include "interpreter_private.h"
#include "key_walk.h"

#include <vector>

namespace kvstore {

PyObject *fetch_or_store(database_object &db, PyObject *key_obj, datum key, PyObject *fallback)
{
    bool missing;
    PyObject *value = lookup(db, key, &missing);
    if (!missing) {
        return value;
    }
    if (assign(db, key_obj, key, fallback) < 0) {
        return nullptr;
    }
    // Read back, so the caller gets the stored bytes, not the object given.
    return lookup_or_key_error(db, key_obj, key);
}

namespace {

// clear() deletes in batches, each gathered by a walk from the start:
// asking for the first key before every deletion would make it quadratic in
// the number of records.
constexpr size_t clear_batch_keys = 4096;
constexpr size_t clear_batch_bytes = size_t{4} << 20;

// Collects up to a batch of keys from the start of the traversal, of the
// `remaining` records. Returns false with an exception set when the library
// fails or the walk breaks the count.
bool gather_keys(database_object &db, std::vector<LibDatum> &batch, Py_ssize_t remaining)
{
    size_t bytes = 0;
    KeyWalk walk(remaining);
    while (walk.next(db)) {
        bytes += static_cast<size_t>(walk.key().view().dsize);
        batch.push_back(walk.take_key());
        if (batch.size() == clear_batch_keys || bytes >= clear_batch_bytes) {
            return true;
        }
    }
    return walk.finished();
}

// get() and setdefault(): the whole method runs in one critical section.
template <method_name Name, auto body>
PyObject *key_default_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    InputDatum key;
    PyObject *fallback;
    if (!key_and_default(Name.text, args, nargs, key, &fallback)) {
        return nullptr;
    }
    return on_open(self,
                   [&](database_object &db) { return body(db, args[0], key.get(), fallback); });
}

PyObject *get_value(database_object &db, PyObject *, datum key, PyObject *fallback)
{
    bool missing;
    PyObject *value = lookup(db, key, &missing);
    return missing ? Py_NewRef(fallback) : value;
}

}  // namespace

PyObject *clear_records(database_object &db)
{
    if (!may_change(db)) {
        return nullptr;
    }
    Py_ssize_t remaining = library_count(db);
    db.known_size = -1;
    std::vector<LibDatum> batch;
    if (remaining < 0 || !fallible::reserve(batch, clear_batch_keys)) {
        return nullptr;
    }
    for (;;) {
        if (!gather_keys(db, batch, remaining)) {
            return nullptr;
        }
        if (batch.empty()) {
            return commit_change(db) ? Py_NewRef(Py_None) : nullptr;
        }
        for (const LibDatum &key : batch) {
            if (gdbm_delete(db.handle, key.view()) < 0) {
                raise_error(db.state, "cannot delete item from database");
                return nullptr;
            }
            ++db.changes;
            if (flush_failed_unreported(db)) {
                return nullptr;
            }
        }
        remaining -= static_cast<Py_ssize_t>(batch.size());
        batch.clear();
    }
}

PyObject *db_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return key_default_method<"get", get_value>(self, args, nargs);
}

PyObject *db_setdefault(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return key_default_method<"setdefault", fetch_or_store>(self, args, nargs);
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
