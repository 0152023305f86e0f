// The walks of kvstore.Database: iter(db) and the iteration of its keys(),
// values() and items() views, one record per step, in the file's order.
// A walk stops with RuntimeError when a key was added or deleted since it
// started, through the Database or its gdbm object, as a dict's iterators
// do.
#include "key_walk.h"
#include "mapping_base.h"

#include <new>

namespace kvstore {

namespace {

enum class Phase { fresh, running, done };

// What a walk keeps between steps; constructed in place in the object.
struct Cursor {
    KeyWalk keys;
    uint64_t changes = 0;  // the gdbm object's count when the walk started
    Phase phase = Phase::fresh;
    WalkKind kind = WalkKind::keys;
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
// Called inside that object's critical section.
void finish(walk_object *w, database_object &db)
{
    if (w->cursor.phase == Phase::running) {
        --db.walkers;
    }
    w->cursor.phase = Phase::done;
    w->cursor.keys = KeyWalk();
}

// The next key, true; false at the end or on failure (the error set), with
// the change check made first.
bool advance(walk_object *w, database_object &db)
{
    Cursor &c = w->cursor;
    if (c.phase == Phase::fresh) {
        c.phase = Phase::running;
        c.changes = db.changes;
        ++db.walkers;
    }
    else if (db.changes != c.changes) {
        PyErr_SetString(PyExc_RuntimeError, "database changed during iteration");
        return false;
    }
    return c.keys.next(db);
}

// What one step yields for `key`: the key, its value, or both.
PyObject *yield(WalkKind kind, database_object &db, const LibDatum &key)
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

PyObject *step(walk_object *w, database_object &db)
{
    PyObject *result = advance(w, db) ? yield(w->cursor.kind, db, w->cursor.keys.key()) : nullptr;
    if (result == nullptr) {
        finish(w, db);
    }
    return result;
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
    PyObject *result = on_open(raw, [&](database_object &db) { return step(w, db); });
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
