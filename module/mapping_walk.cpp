// The walks of kvstore.Database: iter(db) and the iteration of its keys(),
// values() and items() views, one record per step. A walk shows the mapping
// as it stands at each step: the file's keys in the file's order, through
// the one key walk (key_walk.h); while a batch runs, the file's keys that
// the batch keeps, with the batch's values, then the keys the batch adds. A
// walk stops with RuntimeError when a key was added or deleted since it
// started, through the Database, its batch or its gdbm object, as a dict's
// iterators do.
#include "key_walk.h"
#include "pending_changes.h"

#include <new>

namespace kvstore {

namespace {

enum class Phase { fresh, file, added, done };

// What a walk keeps between steps; constructed in place in the object.
struct Cursor {
    KeyWalk keys;
    uint64_t changes = 0;  // the gdbm object's count when the walk started
    Phase phase = Phase::fresh;
    WalkKind kind = WalkKind::keys;
    // The batch whose mapping the walk showed at its last step, if any,
    // and the walk's place in its changes.
    Ref batch;
    Py_ssize_t position = 0;
};

struct walk_object {
    PyObject_HEAD
    PyObject *mapping;  // null once cleared
    Cursor cursor;
};

walk_object *as_walk(PyObject *self)
{
    return reinterpret_cast<walk_object *>(self);
}

// Ends a running walk: it no longer counts among the gdbm object's walkers.
// Called inside that object's critical section, once per walk.
[[gnu::cold]] void finish(walk_object *w, database_object &db)
{
    if (w->cursor.phase != Phase::fresh && w->cursor.phase != Phase::done) {
        --db.walkers;
    }
    w->cursor.phase = Phase::done;
    w->cursor.keys = KeyWalk();
    w->cursor.batch = Ref();
}

// The change check: false with RuntimeError set when a key was added or
// deleted since the walk started.
bool unchanged(Cursor &c, database_object &db, PyObject *batch)
{
    if (c.phase == Phase::fresh) {
        c.phase = batch != nullptr && as_batch(batch)->cleared ? Phase::added : Phase::file;
        c.changes = db.changes;
        ++db.walkers;
        return true;
    }
    if (db.changes != c.changes) [[unlikely]] {
        PyErr_SetString(PyExc_RuntimeError, "database changed during iteration");
        return false;
    }
    return true;
}

// What one step yields for `key`: the key, its value, or both. Inlined in
// the walk's hot path, where it is half the module's work.
[[gnu::always_inline]] inline PyObject *yield(WalkKind kind, database_object &db, const LibDatum &key)
{
    if (kind == WalkKind::keys) {
        return key.to_bytes();
    }
    bool missing;
    Ref value = Ref::take(lookup(db, key.view(), &missing));
    if (kind == WalkKind::values && !missing) {
        return value.release();
    }
    Ref key_obj = Ref::take(key.to_bytes());
    if (!key_obj) {
        return nullptr;
    }
    if (missing) {
        PyErr_SetObject(PyExc_KeyError, key_obj.get());
        return nullptr;
    }
    return value ? fallible::new_pair(key_obj.get(), value.get()) : nullptr;
}

PyObject *yield_pair(WalkKind kind, PyObject *key, PyObject *value)
{
    if (kind == WalkKind::items) {
        return fallible::new_pair(key, value);
    }
    return Py_NewRef(kind == WalkKind::keys ? key : value);
}

// The batch's next key of the file: one it keeps, with its value.
PyObject *kept_by_batch(Cursor &c, database_object &db, batch_object *b)
{
    while (c.keys.next(db)) {
        Ref key = Ref::take(c.keys.key().to_bytes());
        Ref value;
        int shown = key ? shown_value(b, db, key.get(), c.keys.key().view(), value) : -1;
        if (shown != 0) {
            return shown < 0 ? nullptr : yield_pair(c.kind, key.get(), value.get());
        }
    }
    if (c.keys.finished()) {
        c.phase = Phase::added;
    }
    return nullptr;
}

// The batch's next key that the file does not show.
PyObject *added_by_batch(Cursor &c, database_object &db, batch_object *b)
{
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(b->changes, &c.position, &key, &value)) {
        if (value == Py_None) {
            continue;
        }
        Ref held_key = Ref::take(Py_NewRef(key));
        Ref held_value = Ref::take(Py_NewRef(value));
        int added = added_by(b, db, key);
        if (added != 0) {
            return added < 0 ? nullptr : yield_pair(c.kind, key, value);
        }
    }
    return nullptr;
}

// A step while a batch runs, or ran at the last step. A batch that began
// since is walked from there on; one that ended showed the file all along
// (else the count moved), which the walk goes on with.
PyObject *step_with_batch(Cursor &c, database_object &db, PyObject *batch)
{
    if (c.batch.get() != batch) {
        c.batch = Ref::take(Py_XNewRef(batch));
        c.position = 0;
    }
    if (!c.batch) {
        return c.phase == Phase::file && c.keys.next(db) ? yield(c.kind, db, c.keys.key()) : nullptr;
    }
    batch_object *b = as_batch(c.batch.get());
    if (c.phase == Phase::file) {
        PyObject *result = kept_by_batch(c, db, b);
        if (result != nullptr || c.phase == Phase::file) {
            return result;
        }
    }
    return added_by_batch(c, db, b);
}

// One step: `next(cursor, db)` once the change check passed; a walk that
// failed or ended is finished.
template <class Next>
PyObject *step(walk_object *w, database_object &db, PyObject *batch, Next next)
{
    PyObject *result = unchanged(w->cursor, db, batch) ? next(w->cursor) : nullptr;
    if (result == nullptr) {
        finish(w, db);
    }
    return result;
}

// A step while a batch runs or ran: apart, so that the file's steps stay lean.
[[gnu::noinline]] PyObject *batch_step(walk_object *w, mapping_object *m, PyObject *raw)
{
    PyObject *batch;
    if (!settle_batch(m, &batch)) {
        return nullptr;
    }
    return on_open(raw, [&](database_object &db) {
        return step(w, db, batch, [&](Cursor &c) { return step_with_batch(c, db, batch); });
    });
}

PyObject *walk_next(PyObject *self)
{
    walk_object *w = as_walk(self);
    if (w->mapping == nullptr || w->cursor.phase == Phase::done) {
        return nullptr;
    }
    mapping_object *m = as_mapping(w->mapping);
    PyObject *raw = raw_of(m);
    if (raw == nullptr) {
        w->cursor.phase = Phase::done;
        return nullptr;
    }
    PyObject *result;
    if (m->batch == nullptr && !w->cursor.batch) [[likely]] {
        result = on_open(raw, [&](database_object &db) {
            return step(w, db, nullptr, [&](Cursor &c) {
                return c.keys.next(db) ? yield(c.kind, db, c.keys.key()) : nullptr;
            });
        });
    }
    else {
        result = batch_step(w, m, raw);
    }
    if (result == nullptr && w->cursor.phase != Phase::done) {
        // Refused before its step: the walk ends as a failed step ends it.
        in_section(raw, [&] {
            finish(w, *as_db(raw));
            return 0;
        });
    }
    return result;
}

int walk_clear(PyObject *self)
{
    walk_object *w = as_walk(self);
    if (w->mapping == nullptr) {
        return 0;
    }
    PyObject *raw = as_mapping(w->mapping)->raw;
    if (raw != nullptr) {
        in_section(raw, [&] {
            finish(w, *as_db(raw));
            return 0;
        });
    }
    Py_CLEAR(w->mapping);
    return 0;
}

int walk_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_walk(self)->mapping);
    Py_VISIT(as_walk(self)->cursor.batch.get());
    return 0;
}

void walk_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    walk_clear(self);
    as_walk(self)->cursor.~Cursor();
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyType_Slot walk_slots[] = {
    {Py_tp_dealloc, as_slot(walk_dealloc)},
    {Py_tp_traverse, as_slot(walk_traverse)},
    {Py_tp_clear, as_slot(walk_clear)},
    {Py_tp_iter, as_slot(PyObject_SelfIter)},
    {Py_tp_iternext, as_slot(walk_next)},
    {0, nullptr},
};

}  // namespace

PyObject *new_walk(PyObject *mapping, WalkKind kind)
{
    walk_object *w = fallible::gc_new<walk_object>(as_mapping(mapping)->state->walk_type);
    if (w == nullptr) {
        return nullptr;
    }
    w->mapping = Py_NewRef(mapping);
    new (&w->cursor) Cursor{};
    w->cursor.kind = kind;
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject *>(w);
}

PyType_Spec walk_spec = {
    .name = "_kvstore._Walk",
    .basicsize = sizeof(walk_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = walk_slots,
};

}  // namespace kvstore
