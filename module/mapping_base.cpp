// The base type of the kvstore package's Database: the mapping protocol,
// get(), setdefault(), pop(), popitem(), clear() and the walks, each
// through the object's table of operations: the file's below, which run the
// gdbm object's own lookups and stores inside its critical section, or a
// running batch's. The package's class derives from it and adds the file's
// methods in Python.
#include "mapping_base.h"

#include "arguments.h"
#include "interpreter_private.h"
#include "key_walk.h"

namespace kvstore {

namespace {

// ---- what each operation does on the open gdbm object ------------------------

// pop(): the value and the deletion in one section, so that no other
// thread's deletion falls between them.
PyObject *take(database_object &db, PyObject *key_obj, datum key, PyObject *fallback)
{
    bool missing;
    Ref value = Ref::take(lookup(db, key, &missing));
    if (missing) {
        if (fallback != nullptr) {
            return Py_NewRef(fallback);
        }
        PyErr_SetObject(PyExc_KeyError, key_obj);
        return nullptr;
    }
    if (!value || assign(db, key_obj, key, nullptr) < 0) {
        return nullptr;
    }
    return value.release();
}

// popitem(): the first key in the file's order, its value and the deletion
// in one section. The pair is made before the record goes, so that a failed
// allocation leaves it stored.
PyObject *take_first(database_object &db)
{
    bool failed;
    LibDatum first = first_key_of(db, &failed);
    if (!first) {
        if (!failed) {
            PyErr_SetString(PyExc_KeyError, "popitem(): database is empty");
        }
        return nullptr;
    }
    Ref key = Ref::take(first.to_bytes());
    if (!key) {
        return nullptr;
    }
    Ref value = Ref::take(lookup_or_key_error(db, key.get(), first.view()));
    if (!value) {
        return nullptr;
    }
    Ref pair = Ref::take(fallible::new_pair(key.get(), value.get()));
    if (!pair || assign(db, key.get(), first.view(), nullptr) < 0) {
        return nullptr;
    }
    return pair.release();
}

// ---- the file's operations ----------------------------------------------------

// The gdbm object's own slots and methods: the change count that the walks
// read is the gdbm object's.
PyObject *file_subscript(mapping_object *m, PyObject *key_obj)
{
    PyObject *raw = raw_of(m);
    return raw != nullptr ? db_subscript(raw, key_obj) : nullptr;
}

int file_assign(mapping_object *m, PyObject *key_obj, PyObject *value_obj)
{
    PyObject *raw = raw_of(m);
    return raw != nullptr ? db_ass_subscript(raw, key_obj, value_obj) : -1;
}

Py_ssize_t file_length(mapping_object *m)
{
    PyObject *raw = raw_of(m);
    return raw != nullptr ? db_length(raw) : -1;
}

int file_contains(mapping_object *m, PyObject *key_obj)
{
    PyObject *raw = raw_of(m);
    return raw != nullptr ? db_contains(raw, key_obj) : -1;
}

int file_is_true(mapping_object *m)
{
    PyObject *raw = raw_of(m);
    return raw != nullptr ? db_bool(raw) : -1;
}

PyObject *file_get(mapping_object *m, PyObject *const *args, Py_ssize_t nargs)
{
    PyObject *raw = raw_of(m);
    return raw != nullptr ? db_get(raw, args, nargs) : nullptr;
}

PyObject *file_setdefault(mapping_object *m, PyObject *const *args, Py_ssize_t nargs)
{
    PyObject *raw = raw_of(m);
    return raw != nullptr ? db_setdefault(raw, args, nargs) : nullptr;
}

// pop(): a key and an optional default, positional only; the whole method
// runs in one critical section. Without a default, take() gets null and
// raises KeyError for a missing key.
PyObject *file_pop(mapping_object *m, PyObject *const *args, Py_ssize_t nargs)
{
    PyObject *raw = raw_of(m);
    InputDatum key;
    PyObject *fallback;
    if (raw == nullptr || !key_and_default("pop", args, nargs, key, &fallback)) {
        return nullptr;
    }
    PyObject *given = nargs == 1 ? nullptr : fallback;
    return on_open(raw, [&](database_object &db) { return take(db, args[0], key.get(), given); });
}

PyObject *file_popitem(mapping_object *m)
{
    PyObject *raw = raw_of(m);
    return raw != nullptr ? on_open(raw, take_first) : nullptr;
}

PyObject *file_clear(mapping_object *m)
{
    PyObject *raw = raw_of(m);
    return raw != nullptr ? on_open(raw, clear_records) : nullptr;
}

// ---- the slots and methods, through the table --------------------------------

PyObject *mapping_subscript(PyObject *self, PyObject *key_obj)
{
    mapping_object *m = as_mapping(self);
    return m->ops->subscript(m, key_obj);
}

Py_ssize_t mapping_length(PyObject *self)
{
    mapping_object *m = as_mapping(self);
    return m->ops->length(m);
}

int mapping_contains(PyObject *self, PyObject *key_obj)
{
    mapping_object *m = as_mapping(self);
    return m->ops->contains(m, key_obj);
}

int mapping_bool(PyObject *self)
{
    mapping_object *m = as_mapping(self);
    return m->ops->is_true(m);
}

PyObject *mapping_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    mapping_object *m = as_mapping(self);
    return m->ops->get(m, args, nargs);
}

int mapping_ass_subscript(PyObject *self, PyObject *key_obj, PyObject *value_obj)
{
    mapping_object *m = as_mapping(self);
    return m->ops->assign(m, key_obj, value_obj);
}

PyObject *mapping_setdefault(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    mapping_object *m = as_mapping(self);
    return m->ops->setdefault(m, args, nargs);
}

PyObject *mapping_pop(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    mapping_object *m = as_mapping(self);
    return m->ops->pop(m, args, nargs);
}

PyObject *mapping_popitem(PyObject *self, PyObject *)
{
    mapping_object *m = as_mapping(self);
    return m->ops->popitem(m);
}

PyObject *mapping_clear(PyObject *self, PyTypeObject *, PyObject *const *, Py_ssize_t nargs,
                        PyObject *kwnames)
{
    mapping_object *m = as_mapping(self);
    return takes_no_arguments("clear", nargs, kwnames) ? m->ops->clear(m) : nullptr;
}

PyObject *mapping_iter(PyObject *self)
{
    return new_walk(self, WalkKind::keys);
}

PyObject *mapping_iter_values(PyObject *self, PyObject *)
{
    return new_walk(self, WalkKind::values);
}

PyObject *mapping_iter_items(PyObject *self, PyObject *)
{
    return new_walk(self, WalkKind::items);
}

// ---- the object -----------------------------------------------------------

PyObject *mapping_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *module = PyType_GetModuleByDef(type, &module_def);
    if (module == nullptr) {
        return nullptr;
    }
    PyObject *self = fault::injected() ? nullptr : type->tp_alloc(type, 0);
    if (self != nullptr) {
        as_mapping(self)->state = state_of_module(module);
        as_mapping(self)->ops = &file_ops;
    }
    return self;
}

int mapping_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_mapping(self)->raw);
    Py_VISIT(as_mapping(self)->batch);
    return 0;
}

int mapping_tp_clear(PyObject *self)
{
    as_mapping(self)->ops = &file_ops;
    Py_CLEAR(as_mapping(self)->batch);
    Py_CLEAR(as_mapping(self)->raw);
    return 0;
}

void mapping_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    mapping_tp_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *get_raw(PyObject *self, void *)
{
    mapping_object *m = as_mapping(self);
    if (m->raw == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "_raw");
        return nullptr;
    }
    return Py_NewRef(m->raw);
}

// Set once: walks and the lock-free reads above rely on it never changing.
int set_raw(PyObject *self, PyObject *value, void *)
{
    mapping_object *m = as_mapping(self);
    if (value == nullptr || m->raw != nullptr) {
        PyErr_SetString(PyExc_AttributeError, "_raw is set once and never replaced");
        return -1;
    }
    if (Py_TYPE(value) != m->state->database_type) {
        PyErr_Format(PyExc_TypeError, "_raw must be a gdbm object of this module, not %.100s",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    m->raw = Py_NewRef(value);
    return 0;
}

PyObject *get_batch(PyObject *self, void *)
{
    PyObject *batch = as_mapping(self)->batch;
    return Py_NewRef(batch != nullptr ? batch : Py_None);
}

// A batch takes over the operations until None ends its turn: the
// operations are the file's again.
int set_batch(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "_batch cannot be deleted; set it to None");
        return -1;
    }
    mapping_object *m = as_mapping(self);
    if (value == Py_None) {
        if (m->batch != nullptr) {
            end_batch(m);
            m->ops = &file_ops;
            Py_CLEAR(m->batch);
        }
        return 0;
    }
    if (!may_run_on(m, value)) {
        return -1;
    }
    m->batch = Py_NewRef(value);
    m->ops = &batch_ops;
    return 0;
}

PyGetSetDef mapping_getset[] = {
    {"_raw", get_raw, set_raw, nullptr, nullptr},
    {"_batch", get_batch, set_batch, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Waits for another thread's batch: true with `*inside` saying whether this
// thread's own batch runs; false with an exception set when a wait failed.
bool after_other_batches(mapping_object *m, bool *inside)
{
    PyObject *own;
    bool settled = settle_batch(m, &own);
    *inside = own != nullptr;
    return settled;
}

PyObject *mapping_wait_for_batch(PyObject *self, PyObject *method)
{
    mapping_object *m = as_mapping(self);
    if (method != Py_None && !PyUnicode_Check(method)) {
        PyErr_Format(PyExc_TypeError, "_wait_for_batch() argument must be str or None, not %.100s",
                     Py_TYPE(method)->tp_name);
        return nullptr;
    }
    bool inside;
    if (!after_other_batches(m, &inside)) {
        return nullptr;
    }
    if (inside && method != Py_None) {
        raise_error(m->state, "%U() cannot run inside a batch", method);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// reorganize(): compact() of the gdbm object under the package's name, so
// that a refusal names the method the caller called.
PyObject *mapping_reorganize(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames)
{
    mapping_object *m = as_mapping(self);
    PyObject *progress;
    bool inside;
    if (!progress_argument<"reorganize", "|$O:reorganize">(args, nargs, kwnames, &progress) ||
        !after_other_batches(m, &inside)) {
        return nullptr;
    }
    if (inside) {
        raise_error(m->state, "reorganize() cannot run inside a batch");
        return nullptr;
    }
    PyObject *raw = raw_of(m);
    if (raw == nullptr) {
        return nullptr;
    }
    return on_open(
        raw, [&](database_object &db) { return compact_file(db, progress, "reorganize"); });
}

PyObject *mapping_init_subclass(PyObject *cls, PyObject *args, PyObject *kwargs);

PyMethodDef mapping_methods[] = {
    {"get", as_cfunction(mapping_get), METH_FASTCALL, get_doc},
    {"setdefault", as_cfunction(mapping_setdefault), METH_FASTCALL, setdefault_doc},
    {"pop", as_cfunction(mapping_pop), METH_FASTCALL,
     "pop($self, key, default=<unrepresentable>, /)\n--\n\n"
     "Remove key and return its value, or default (when given) if key is missing.\n"
     "\n"
     "Without a default, a missing key raises KeyError. The lookup and the removal\n"
     "are one step for other threads."},
    {"popitem", mapping_popitem, METH_NOARGS,
     "popitem($self, /)\n--\n\n"
     "Remove and return a (key, value) pair: the first in the file's order."},
    {"clear", as_cfunction(mapping_clear), defining_class_flags,
     "clear($self, /)\n--\n\n"
     "Deletes every record, in time linear in their number."},
    {"reorganize", as_cfunction(mapping_reorganize), METH_FASTCALL | METH_KEYWORDS,
     "reorganize($self, /, *, progress=None)\n--\n\n"
     "Rewrites the file to give back the space of deleted records.\n"
     "\n"
     "The records are copied a few at a time into a new file, which then\n"
     "replaces the old one; other threads run between the steps, and a call\n"
     "on this Database from another thread meanwhile waits until the rewrite\n"
     "ends. progress, when given, is called as progress(done, total) along\n"
     "the way and with done == total at the end; it cannot use this Database\n"
     "itself. All or nothing: on a failure, or when progress raises, the\n"
     "file stays as it was."},
    {"_wait_for_batch", mapping_wait_for_batch, METH_O,
     "_wait_for_batch($self, method, /)\n--\n\n"
     "Waits while another thread's batch runs on this Database. method names\n"
     "the file operation about to run, which raises error inside this thread's\n"
     "own batch; None runs there too."},
    {"_iter_values", mapping_iter_values, METH_NOARGS, nullptr},
    {"_iter_items", mapping_iter_items, METH_NOARGS, nullptr},
    {"__init_subclass__", as_cfunction(mapping_init_subclass),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Whether `found`, what a class's attribute lookup gives, is this base's
// own method `def`, not an override.
bool is_base_method(PyObject *found, PyMethodDef *def)
{
    return Py_IS_TYPE(found, &PyMethodDescr_Type) &&
           reinterpret_cast<PyMethodDescrObject *>(found)->d_method == def;
}

// The interpreter calls a method descriptor on its fast path only for an
// object of exactly the descriptor's type: each class derived from this
// base gets descriptors of its own for the methods it inherits from here,
// or every db.get() would take the slow path.
PyObject *mapping_init_subclass(PyObject *cls, PyObject *args, PyObject *kwargs)
{
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "__init_subclass__() takes no arguments");
        return nullptr;
    }
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    for (PyMethodDef *def = mapping_methods; def->ml_name != nullptr; ++def) {
        if (def->ml_flags & METH_CLASS) {
            continue;
        }
        Ref found = Ref::take(PyObject_GetAttrString(cls, def->ml_name));
        if (!found) {
            return nullptr;
        }
        if (!is_base_method(found.get(), def)) {
            continue;
        }
        Ref own = Ref::take(fault::injected() ? nullptr : PyDescr_NewMethod(type, def));
        if (!own || PyObject_SetAttrString(cls, def->ml_name, own.get()) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyType_Slot mapping_slots[] = {
    {Py_tp_new, as_slot(mapping_new)},
    {Py_tp_dealloc, as_slot(mapping_dealloc)},
    {Py_tp_traverse, as_slot(mapping_traverse)},
    {Py_tp_clear, as_slot(mapping_tp_clear)},
    {Py_tp_iter, as_slot(mapping_iter)},
    {Py_tp_methods, mapping_methods},
    {Py_tp_getset, mapping_getset},
    {Py_sq_contains, as_slot(mapping_contains)},
    {Py_mp_length, as_slot(mapping_length)},
    {Py_mp_subscript, as_slot(mapping_subscript)},
    {Py_mp_ass_subscript, as_slot(mapping_ass_subscript)},
    {Py_nb_bool, as_slot(mapping_bool)},
    {Py_tp_doc, const_cast<char *>("The per-record operations of kvstore.Database, over the "
                                   "gdbm object set as _raw.")},
    {0, nullptr},
};

}  // namespace

const mapping_ops file_ops = {
    .subscript = file_subscript,
    .assign = file_assign,
    .length = file_length,
    .contains = file_contains,
    .is_true = file_is_true,
    .get = file_get,
    .setdefault = file_setdefault,
    .pop = file_pop,
    .popitem = file_popitem,
    .clear = file_clear,
};

// Py_TPFLAGS_MAPPING: a derived class takes its flags from this base, not
// from collections.abc.Mapping, and match statements read it. Weak
// references are the base's, so that a derived class needs no slot for them.
PyType_Spec mapping_spec = {
    .name = "_kvstore._Mapping",
    .basicsize = sizeof(mapping_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_MAPPING | Py_TPFLAGS_MANAGED_WEAKREF,
    .slots = mapping_slots,
};

}  // namespace kvstore
