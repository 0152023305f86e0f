// The walks of kvstore.Database: iter(db) and the iteration of its keys(),
// values() and items() views, one record per step, in the file's order.
// A walk stops with RuntimeError when a key was added or deleted since it
// started, through the Database or its gdbm object, as a dict's iterators
// do.
#include "mapping_base.h"

#include <new>

namespace kvstore {

namespace {

// A damaged bucket directory can send the library's traversal round in a
// circle. A walk that has yielded this many keys checks them against the
// library's count; short walks never pay for the count.
constexpr Py_ssize_t uncounted_steps = 1024;

enum class Phase { fresh, running, done };

// What a walk keeps between steps; constructed in place in the object.
struct Cursor {
    LibDatum current{datum{nullptr, 0}};  // the key yielded last
    uint64_t changes = 0;                 // the gdbm object's count when the walk started
    Py_ssize_t seen = 0;
    Py_ssize_t limit = uncounted_steps;
    bool counted = false;
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
    w->cursor.current = LibDatum(datum{nullptr, 0});
}

// The next key, or a false LibDatum at the end or on failure (the error
// set), with the change and endless-walk checks made first.
LibDatum advance(walk_object *w, database_object &db)
{
    Cursor &c = w->cursor;
    const char *call = "gdbm_nextkey() error";
    LibDatum key(datum{nullptr, 0});
    if (c.phase == Phase::fresh) {
        c.phase = Phase::running;
        c.changes = db.changes;
        ++db.walkers;
        key = LibDatum(gdbm_firstkey(db.handle));
        call = "gdbm_firstkey() error";
    }
    else if (db.changes != c.changes) {
        PyErr_SetString(PyExc_RuntimeError, "database changed during iteration");
        return key;
    }
    else {
        key = LibDatum(gdbm_nextkey(db.handle, c.current.view()));
    }
    if (!key) {
        raise_unless_miss(db.state, call);
        return key;
    }
    if (c.seen == c.limit) {
        Py_ssize_t count = c.counted ? c.limit : library_count(db);
        if (count < 0) {
            return LibDatum(datum{nullptr, 0});
        }
        if (c.counted || c.seen >= count) {
            raise_error(db.state, endless_traversal_message);
            return LibDatum(datum{nullptr, 0});
        }
        c.limit = count;
        c.counted = true;
    }
    ++c.seen;
    return key;
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
        PyErr_SetObject(PyExc_KeyError, key_obj.borrow());
        return nullptr;
    }
    return value ? fallible::new_pair(key_obj.borrow(), value.borrow()) : nullptr;
}

PyObject *step(walk_object *w, database_object &db)
{
    LibDatum key = advance(w, db);
    PyObject *result = key ? yield(w->cursor.kind, db, key) : nullptr;
    if (result == nullptr) {
        finish(w, db);
        return nullptr;
    }
    w->cursor.current = std::move(key);
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
