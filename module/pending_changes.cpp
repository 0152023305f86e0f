// The pending changes of the kvstore package's running batch: the type
// _kvstore._Batch and the table of operations that the Database's base
// type runs while a batch is set. Keys and values are converted as the
// file's operations convert them, the file is read through the same door
// (on_open), a key that the batch adds or removes moves the gdbm object's
// change count as a store does, and the walks are the Database's own
// (mapping_walk.cpp). Only the thread that started the batch works on it;
// another thread's operation waits for the batch's end, then runs on the
// file as the batch left it.
#include "pending_changes.h"

#include "arguments.h"

#include <structmember.h>

namespace kvstore {

namespace {

bool runs_here(PyObject *batch)
{
    return as_batch(batch)->owner == PyThread_get_thread_ident();
}

// Blocks until the batch's thread lets go of its lock, the interpreter's
// other threads running meanwhile.
bool wait_for_end(batch_object *b)
{
    Ref lock = Ref::take(Py_NewRef(b->lock));
    Ref taken = Ref::take(PyObject_CallMethod(lock.get(), "acquire", nullptr));
    return taken && Ref::take(PyObject_CallMethod(lock.get(), "release", nullptr));
}

// ---- what the batch shows -------------------------------------------------

// `key_obj` as the changes keep it: itself when exact bytes, else the
// bytes of its converted form.
Ref kept(PyObject *key_obj, const InputDatum &key)
{
    if (PyBytes_CheckExact(key_obj)) {
        return Ref::take(Py_NewRef(key_obj));
    }
    return Ref::take(fallible::new_bytes(key.get().dptr, key.get().dsize));
}

// Whether the batch shows `key`: 1 or 0, or -1 with an exception set.
int shows(batch_object *b, database_object &db, PyObject *key_obj, datum key)
{
    PyObject *change;
    int found = PyDict_GetItemRef(b->changes, key_obj, &change);
    if (found != 0) {
        Py_XDECREF(change);
        return found < 0 ? -1 : change != Py_None;
    }
    return b->cleared ? 0 : holds(db, key);
}

// Forgets the count, or takes it on with the file's change count.
void count_stays(batch_object *b, database_object &db, bool kept_right)
{
    if (kept_right) {
        b->counted_at = db.changes;
    }
    else {
        b->length = -1;
    }
}

// Records `value` (None: a deletion) under `key`. A key added or removed
// moves the file's change count while walks run, and the batch's count
// while it is kept; finding out costs a lookup, made only then.
int record(batch_object *b, database_object &db, PyObject *key_obj, datum key, PyObject *value)
{
    bool counted = b->length >= 0 && b->counted_at == db.changes;
    int was = 0;
    if ((db.walkers != 0 || counted) && (was = shows(b, db, key_obj, key)) < 0) {
        return -1;
    }
    if (fallible::dict_set(b->changes, key_obj, value) < 0) {
        return -1;
    }
    bool now = value != Py_None;
    if ((db.walkers != 0 || counted) && was != now) {
        ++db.changes;
        b->length += now ? 1 : -1;
        count_stays(b, db, counted);
    }
    return 0;
}

Py_ssize_t count(batch_object *b, database_object &db)
{
    if (b->length >= 0 && b->counted_at == db.changes) {
        return b->length;
    }
    Py_ssize_t records = b->cleared ? 0 : count_records(db);
    Py_ssize_t position = 0;
    PyObject *key;
    PyObject *value;
    while (records >= 0 && PyDict_Next(b->changes, &position, &key, &value)) {
        int in_file = b->cleared ? 0 : holds(db, datum_of(key));
        records = in_file < 0 ? -1 : records + (value != Py_None) - in_file;
    }
    if (records < 0) {
        return -1;
    }
    if (!b->counting) {
        b->counting = true;
        ++db.walkers;
    }
    b->length = records;
    b->counted_at = db.changes;
    return records;
}

// ---- the operations, in the batch's own thread ---------------------------

PyObject *batch_subscript(mapping_object *, batch_object *b, PyObject *key_obj)
{
    InputDatum key;
    if (!key.convert(key_obj, lookup_key)) {
        return nullptr;
    }
    Ref key_kept = kept(key_obj, key);
    if (!key_kept) {
        return nullptr;
    }
    return on_open(b->raw, [&](database_object &db) -> PyObject * {
        Ref value;
        int found = shown_value(b, db, key_kept.get(), key.get(), value);
        if (found == 0) {
            PyErr_SetObject(PyExc_KeyError, key_obj);
        }
        return value.release();
    });
}

int batch_assign(mapping_object *, batch_object *b, PyObject *key_obj, PyObject *value_obj)
{
    InputDatum key;
    if (!key.convert(key_obj, stored_item)) {
        return -1;
    }
    Ref key_kept = kept(key_obj, key);
    if (!key_kept) {
        return -1;
    }
    Ref value = Ref::take(Py_NewRef(Py_None));
    if (value_obj != nullptr) {
        InputDatum converted;
        if (!converted.convert(value_obj, stored_item)) {
            return -1;
        }
        value = kept(value_obj, converted);
        if (!value) {
            return -1;
        }
    }
    return on_open(b->raw, [&](database_object &db) {
        if (!may_change(db)) {
            return -1;
        }
        if (value_obj == nullptr) {
            int present = shows(b, db, key_kept.get(), key.get());
            if (present == 0) {
                PyErr_SetObject(PyExc_KeyError, key_obj);
            }
            if (present <= 0) {
                return -1;
            }
        }
        return record(b, db, key_kept.get(), key.get(), value.get());
    });
}

Py_ssize_t batch_length(mapping_object *, batch_object *b)
{
    return on_open(b->raw, [&](database_object &db) { return count(b, db); });
}

int batch_is_true(mapping_object *m, batch_object *b)
{
    Py_ssize_t records = batch_length(m, b);
    return records < 0 ? -1 : records > 0;
}

int batch_contains(mapping_object *, batch_object *b, PyObject *key_obj)
{
    InputDatum key;
    if (!key.convert(key_obj, membership_key)) {
        return -1;
    }
    Ref key_kept = kept(key_obj, key);
    if (!key_kept) {
        return -1;
    }
    return on_open(b->raw,
                   [&](database_object &db) { return shows(b, db, key_kept.get(), key.get()); });
}

// get(), setdefault() and pop(): the key converted as the file's methods
// convert it, then `body(db, key, its bytes, the default)` on the open file.
template <method_name Name, class Body>
PyObject *key_default_method(batch_object *b, PyObject *const *args, Py_ssize_t nargs, Body body)
{
    InputDatum key;
    PyObject *fallback;
    if (!key_and_default(Name.text, args, nargs, key, &fallback)) {
        return nullptr;
    }
    Ref key_kept = kept(args[0], key);
    if (!key_kept) {
        return nullptr;
    }
    return on_open(b->raw, [&](database_object &db) {
        return body(db, key.get(), key_kept.get(), fallback);
    });
}

PyObject *batch_get(mapping_object *, batch_object *b, PyObject *const *args, Py_ssize_t nargs)
{
    return key_default_method<"get">(
        b, args, nargs, [&](database_object &db, datum key, PyObject *key_kept, PyObject *fallback) {
            Ref value;
            int found = shown_value(b, db, key_kept, key, value);
            return found == 0 ? Py_NewRef(fallback) : value.release();
        });
}

// The default is converted once the key was found missing, as the file's
// setdefault() converts it.
PyObject *batch_setdefault(mapping_object *, batch_object *b, PyObject *const *args, Py_ssize_t nargs)
{
    return key_default_method<"setdefault">(
        b, args, nargs,
        [&](database_object &db, datum key, PyObject *key_kept, PyObject *fallback) -> PyObject * {
            Ref value;
            int found = shown_value(b, db, key_kept, key, value);
            if (found != 0) {
                return value.release();
            }
            InputDatum converted;
            if (!convert_for_store(db, fallback, converted)) {
                return nullptr;
            }
            value = kept(fallback, converted);
            if (!value || record(b, db, key_kept, key, value.get()) < 0) {
                return nullptr;
            }
            return value.release();
        });
}

PyObject *batch_pop(mapping_object *, batch_object *b, PyObject *const *args, Py_ssize_t nargs)
{
    return key_default_method<"pop">(
        b, args, nargs,
        [&](database_object &db, datum key, PyObject *key_kept, PyObject *fallback) -> PyObject * {
            Ref value;
            int found = shown_value(b, db, key_kept, key, value);
            if (found == 0 && nargs == 2) {
                return Py_NewRef(fallback);
            }
            if (found == 0) {
                PyErr_SetObject(PyExc_KeyError, args[0]);
            }
            if (found <= 0 || !may_change(db) || record(b, db, key_kept, key, Py_None) < 0) {
                return nullptr;
            }
            return value.release();
        });
}

// The first pair of a walk, then its deletion.
PyObject *batch_popitem(mapping_object *m, batch_object *b)
{
    Ref pair;
    {
        Ref walk = Ref::take(new_walk(reinterpret_cast<PyObject *>(m), WalkKind::items));
        pair = Ref::take(walk ? PyIter_Next(walk.get()) : nullptr);
    }
    if (!pair) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_KeyError, "popitem(): database is empty");
        }
        return nullptr;
    }
    PyObject *key = PyTuple_GET_ITEM(pair.get(), 0);
    int done = on_open(b->raw, [&](database_object &db) {
        return may_change(db) ? record(b, db, key, datum_of(key), Py_None) : -1;
    });
    return done < 0 ? nullptr : pair.release();
}

PyObject *batch_clear(mapping_object *, batch_object *b)
{
    return on_open(b->raw, [&](database_object &db) -> PyObject * {
        PyObject *fresh = may_change(db) ? fallible::new_dict() : nullptr;
        if (fresh == nullptr) {
            return nullptr;
        }
        Py_SETREF(b->changes, fresh);
        b->cleared = true;
        ++db.changes;
        b->length = 0;
        count_stays(b, db, b->counting);
        Py_RETURN_NONE;
    });
}

// ---- the table ---------------------------------------------------------------

// Runs `Op` on the batch when this thread runs it. Another thread's batch
// is waited for; the operation then runs as the mapping routes it by then.
template <auto Op, auto Route, class... Args>
auto in_batch(mapping_object *m, Args... args) -> decltype(Op(m, nullptr, args...))
{
    PyObject *own;
    if (!settle_batch(m, &own)) {
        return failed<decltype(Op(m, nullptr, args...))>();
    }
    if (own == nullptr) {
        return (m->ops->*Route)(m, args...);
    }
    Ref held = Ref::take(Py_NewRef(own));
    return Op(m, as_batch(own), args...);
}

}  // namespace

const mapping_ops batch_ops = {
    .subscript = in_batch<batch_subscript, &mapping_ops::subscript, PyObject *>,
    .assign = in_batch<batch_assign, &mapping_ops::assign, PyObject *, PyObject *>,
    .length = in_batch<batch_length, &mapping_ops::length>,
    .contains = in_batch<batch_contains, &mapping_ops::contains, PyObject *>,
    .is_true = in_batch<batch_is_true, &mapping_ops::is_true>,
    .get = in_batch<batch_get, &mapping_ops::get, PyObject *const *, Py_ssize_t>,
    .setdefault = in_batch<batch_setdefault, &mapping_ops::setdefault, PyObject *const *, Py_ssize_t>,
    .pop = in_batch<batch_pop, &mapping_ops::pop, PyObject *const *, Py_ssize_t>,
    .popitem = in_batch<batch_popitem, &mapping_ops::popitem>,
    .clear = in_batch<batch_clear, &mapping_ops::clear>,
};

int shown_value(batch_object *b, database_object &db, PyObject *key_obj, datum key, Ref &value)
{
    PyObject *change;
    int found = PyDict_GetItemRef(b->changes, key_obj, &change);
    if (found != 0) {
        value = Ref::take(change);
        if (found < 0 || change != Py_None) {
            return found;
        }
        value = Ref();
        return 0;
    }
    if (b->cleared) {
        return 0;
    }
    bool missing;
    value = Ref::take(lookup(db, key, &missing));
    return missing ? 0 : value ? 1 : -1;
}

int added_by(batch_object *b, database_object &db, PyObject *key_obj)
{
    if (b->cleared) {
        return 1;
    }
    int in_file = holds(db, datum_of(key_obj));
    return in_file < 0 ? -1 : !in_file;
}

bool wait_for_other_batches(mapping_object *m, PyObject **own)
{
    for (PyObject *running = m->batch; running != nullptr; running = m->batch) {
        if (runs_here(running)) {
            *own = running;
            return true;
        }
        Ref held = Ref::take(Py_NewRef(running));
        if (!wait_for_end(as_batch(running))) {
            return false;
        }
        if (m->batch == running) {
            PyErr_SetString(PyExc_RuntimeError, "another thread's batch runs without its lock");
            return false;
        }
    }
    *own = nullptr;
    return true;
}

void end_batch(mapping_object *m)
{
    batch_object *b = as_batch(m->batch);
    in_section(m->raw, [&] {
        database_object &db = *as_db(m->raw);
        if (b->counting) {
            b->counting = false;
            --db.walkers;
        }
        // The mapping shows the file again: walks over the batch stop unless
        // it showed the file all along.
        if (b->cleared || PyDict_GET_SIZE(b->changes) != 0) {
            ++db.changes;
        }
        return 0;
    });
}

bool may_run_on(mapping_object *m, PyObject *batch)
{
    if (!PyObject_TypeCheck(batch, m->state->batch_type)) {
        PyErr_Format(PyExc_TypeError, "_batch must be a _kvstore._Batch or None, not %.100s",
                     Py_TYPE(batch)->tp_name);
        return false;
    }
    batch_object *b = as_batch(batch);
    if (m->raw == nullptr || b->raw != m->raw || b->lock == nullptr || b->lock == Py_None ||
        m->batch != nullptr) {
        PyErr_SetString(PyExc_ValueError,
                        "_batch must be made over this Database's _raw, hold a lock, and "
                        "replace no other batch");
        return false;
    }
    return true;
}

// ---- the type -------------------------------------------------------------------

namespace {

// The arguments are __init__'s.
PyObject *batch_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = fault::injected() ? nullptr : type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    batch_object *b = as_batch(self);
    b->changes = fallible::new_dict();
    if (b->changes == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    b->owner = PyThread_get_thread_ident();
    b->length = -1;
    return self;
}

int batch_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *module = PyType_GetModuleByDef(Py_TYPE(self), &module_def);
    if (module == nullptr) {
        return -1;
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "_Batch() takes no keyword arguments");
        return -1;
    }
    PyObject *raw;
    if (!PyArg_ParseTuple(args, "O!:_Batch", state_of_module(module)->database_type, &raw)) {
        return -1;
    }
    batch_object *b = as_batch(self);
    if (b->raw != nullptr) {
        PyErr_SetString(PyExc_TypeError, "_Batch() is made once");
        return -1;
    }
    b->raw = Py_NewRef(raw);
    return 0;
}

int batch_traverse(PyObject *self, visitproc visit, void *arg)
{
    batch_object *b = as_batch(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(b->raw);
    Py_VISIT(b->changes);
    Py_VISIT(b->lock);
    return 0;
}

int batch_tp_clear(PyObject *self)
{
    batch_object *b = as_batch(self);
    if (b->counting) {
        // Dropped without its end (its Database went first).
        b->counting = false;
        --as_db(b->raw)->walkers;
    }
    Py_CLEAR(b->raw);
    Py_CLEAR(b->changes);
    Py_CLEAR(b->lock);
    return 0;
}

void batch_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    batch_tp_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *get_raw(PyObject *self, void *)
{
    PyObject *raw = as_batch(self)->raw;
    return Py_NewRef(raw != nullptr ? raw : Py_None);
}

PyObject *get_changes(PyObject *self, void *)
{
    return Py_NewRef(as_batch(self)->changes);
}

PyObject *get_cleared(PyObject *self, void *)
{
    return PyBool_FromLong(as_batch(self)->cleared);
}

// Putting changes back (an inner batch's savepoint) moves what walks see
// and forgets the count.
int put_back(batch_object *b, PyObject *changes, int cleared)
{
    if (b->raw == nullptr) {
        PyErr_SetString(PyExc_TypeError, "_Batch.__init__() has not run");
        return -1;
    }
    return in_section(b->raw, [&] {
        database_object &db = *as_db(b->raw);
        if (changes != nullptr) {
            Py_SETREF(b->changes, Py_NewRef(changes));
        }
        if (cleared >= 0) {
            b->cleared = cleared != 0;
        }
        ++db.changes;
        b->length = -1;
        return 0;
    });
}

int set_changes(PyObject *self, PyObject *value, void *)
{
    bool valid = value != nullptr && PyDict_CheckExact(value);
    Py_ssize_t position = 0;
    PyObject *key;
    PyObject *change;
    while (valid && PyDict_Next(value, &position, &key, &change)) {
        valid = PyBytes_CheckExact(key) && (change == Py_None || PyBytes_CheckExact(change));
    }
    if (!valid) {
        PyErr_SetString(PyExc_TypeError, "a batch's changes are a dict of bytes to bytes or None");
        return -1;
    }
    return put_back(as_batch(self), value, -1);
}

int set_cleared(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr || !PyBool_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "_cleared is a bool");
        return -1;
    }
    return put_back(as_batch(self), nullptr, value == Py_True);
}

PyGetSetDef batch_getset[] = {
    {"_raw", get_raw, nullptr, "The gdbm object whose file the changes are for.", nullptr},
    {"_changes", get_changes, set_changes,
     "The pending changes: each key's new value, or None for a deletion.", nullptr},
    {"_cleared", get_cleared, set_cleared,
     "Whether clear() was called, after which no record of the file counts.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef batch_members[] = {
    {"lock", Py_T_OBJECT_EX, offsetof(batch_object, lock), 0,
     "The lock that the batch's thread holds until the batch ends; other threads wait on it."},
    {"owner", Py_T_ULONG, offsetof(batch_object, owner), Py_READONLY,
     "The thread that started the batch."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_new, as_slot(batch_new)},
    {Py_tp_init, as_slot(batch_init)},
    {Py_tp_dealloc, as_slot(batch_dealloc)},
    {Py_tp_traverse, as_slot(batch_traverse)},
    {Py_tp_clear, as_slot(batch_tp_clear)},
    {Py_tp_getset, batch_getset},
    {Py_tp_members, batch_members},
    {Py_tp_doc, const_cast<char *>("_Batch(raw, /)\n--\n\n"
                                   "The pending changes of the kvstore package's batch over "
                                   "the gdbm object raw.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec batch_spec = {
    .name = "_kvstore._Batch",
    .basicsize = sizeof(batch_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = batch_slots,
};

}  // namespace kvstore
