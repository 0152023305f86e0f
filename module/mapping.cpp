// The mapping protocol: db[key], db[key] = value, del db[key], len(db),
// key in db and bool(db), with the lookups and stores that the
// dictionary-style methods share.
#include "key_walk.h"

namespace kvstore {

PyObject *lookup(database_object &db, datum key, bool *missing)
{
    *missing = false;
    LibDatum value(gdbm_fetch(db.handle, key));
    if (value) {
        return value.to_bytes();
    }
    *missing = !raise_unless_miss(db.state, "gdbm_fetch() error");
    return nullptr;
}

PyObject *lookup_or_key_error(database_object &db, PyObject *key_obj, datum key)
{
    bool missing;
    PyObject *value = lookup(db, key, &missing);
    if (missing) {
        PyErr_SetObject(PyExc_KeyError, key_obj);
    }
    return value;
}

namespace {

int delete_key(database_object &db, PyObject *key_obj, datum key)
{
    db.known_size = -1;
    if (gdbm_delete(db.handle, key) >= 0) {
        ++db.changes;
        return commit_change(db) ? 0 : -1;
    }
    if (library_errno() == GDBM_ITEM_NOT_FOUND) {
        PyErr_SetObject(PyExc_KeyError, key_obj);
    }
    else {
        raise_failure(db.state, library_failure("gdbm_delete() error"));
    }
    return -1;
}

}  // namespace

bool convert_for_store(database_object &db, PyObject *value_obj, InputDatum &value)
{
    // Converting the value may run Python code (a buffer exporter's), which
    // may close this object or count its records: the handle is looked at
    // again afterwards, and store() forgets the count with no Python code
    // between that and the store.
    return may_change(db) && value.convert(value_obj, stored_item) && ensure_open(db);
}

int store(database_object &db, datum key, datum value)
{
    db.known_size = -1;
    // A new key can split a bucket under a running walk; a replaced value
    // moves nothing. Asked only while a walk runs, after the conversion,
    // which may have started one. A failed check counts as a move, which
    // only costs a walk a needless stop.
    bool moves = db.walkers != 0 && gdbm_exists(db.handle, key) == 0;
    if (errno_first_call([&] { return gdbm_store(db.handle, key, value, GDBM_REPLACE); }) >= 0) {
        db.changes += moves;
        return commit_change(db) ? 0 : -1;
    }
    raise_failure(db.state, errno_first("gdbm_store() error"));
    return -1;
}

int assign(database_object &db, PyObject *key_obj, datum key, PyObject *value_obj)
{
    if (value_obj == nullptr) {
        return may_change(db) ? delete_key(db, key_obj, key) : -1;
    }
    InputDatum value;
    return convert_for_store(db, value_obj, value) ? store(db, key, value.get()) : -1;
}

PyObject *db_subscript(PyObject *self, PyObject *key_obj)
{
    InputDatum key;
    if (!key.convert(key_obj, lookup_key)) {
        return nullptr;
    }
    // The hottest path: the lookup is inlined whole, which the compiler's
    // size limits would otherwise forbid since the use check also checks
    // the process.
    return on_open(self, [&] [[gnu::flatten]] (database_object &db) {
        return lookup_or_key_error(db, key_obj, key.get());
    });
}

int db_ass_subscript(PyObject *self, PyObject *key_obj, PyObject *value_obj)
{
    InputDatum key;
    if (!key.convert(key_obj, stored_item)) {
        return -1;
    }
    return on_open(self, [&] [[gnu::flatten]] (database_object &db) {
        return assign(db, key_obj, key.get(), value_obj);
    });
}

Py_ssize_t library_count(database_object &db)
{
    gdbm_count_t count;
    if (errno_first_call([&] { return gdbm_count(db.handle, &count); }) == -1) {
        raise_failure(db.state, errno_first("gdbm_count() error"));
        return -1;
    }
    if (count > static_cast<gdbm_count_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "count exceeds PY_SSIZE_T_MAX");
        return -1;
    }
    return static_cast<Py_ssize_t>(count);
}

Py_ssize_t count_records(database_object &db)
{
    if (db.known_size < 0) {
        db.known_size = library_count(db);
    }
    return db.known_size;
}

int holds(database_object &db, datum key)
{
    if (gdbm_exists(db.handle, key)) {
        return 1;
    }
    // A miss leaves "no error" or "item not found", depending on the release.
    return raise_unless_miss(db.state, "gdbm_exists() error", true) ? -1 : 0;
}

namespace {

int contains_key(database_object &db, PyObject *key_obj)
{
    InputDatum key;
    if (!key.convert(key_obj, membership_key)) {
        return -1;
    }
    return holds(db, key.get());
}

int is_nonempty(database_object &db)
{
    if (db.known_size >= 0) {
        return db.known_size > 0;
    }
    bool failed;
    if (first_key_of(db, &failed)) {
        return 1;
    }
    if (failed) {
        return -1;
    }
    db.known_size = 0;
    return 0;
}

}  // namespace

Py_ssize_t db_length(PyObject *self)
{
    return on_open(self, count_records);
}

int db_contains(PyObject *self, PyObject *key_obj)
{
    return on_open(self, [&](database_object &db) { return contains_key(db, key_obj); });
}

int db_bool(PyObject *self)
{
    return on_open(self, is_nonempty);
}

}  // namespace kvstore
