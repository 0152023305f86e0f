// The base type of the kvstore package's batch: the pending changes and
// what says whether the batch's own thread may record one directly. A
// change made in a batch is a dict store; the Database's base type makes it
// here without calling into Python whenever nothing else has to hear of it,
// and hands every other case to the package's class.
#include "mapping_base.h"

#include <structmember.h>

namespace kvstore {

namespace {

PyObject *batch_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = fault::injected() ? nullptr : type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    batch_object *b = as_batch(self);
    b->changes = fault::injected() ? nullptr : PyDict_New();
    if (b->changes == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    b->length = Py_NewRef(Py_None);
    return self;
}

int batch_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_batch(self)->changes);
    Py_VISIT(as_batch(self)->length);
    return 0;
}

int batch_clear(PyObject *self)
{
    Py_CLEAR(as_batch(self)->changes);
    Py_CLEAR(as_batch(self)->length);
    return 0;
}

void batch_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    batch_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef batch_members[] = {
    {"_changes", Py_T_OBJECT_EX, offsetof(batch_object, changes), 0,
     "The pending changes: each key's new value, or None for a deletion."},
    {"_length", Py_T_OBJECT_EX, offsetof(batch_object, length), 0,
     "The number of records once asked for, kept up to date from then on; else None."},
    {"_walkers", Py_T_PYSSIZET, offsetof(batch_object, walkers), 0,
     "The number of walks running over the batch."},
    {"owner", Py_T_ULONG, offsetof(batch_object, owner), 0,
     "The thread that started the batch, which holds its lock until the end."},
    {"active", Py_T_BOOL, offsetof(batch_object, active), 0,
     "Whether the batch still runs."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_new, as_slot(batch_new)},
    {Py_tp_dealloc, as_slot(batch_dealloc)},
    {Py_tp_traverse, as_slot(batch_traverse)},
    {Py_tp_clear, as_slot(batch_clear)},
    {Py_tp_members, batch_members},
    {Py_tp_doc, const_cast<char *>("The pending changes of the kvstore package's batch.")},
    {0, nullptr},
};

// The bytes a key or value is kept as, or null where the package's class
// has to decide (a bytes subclass, anything else, a failure to encode).
PyObject *kept_as(PyObject *data)
{
    if (PyBytes_CheckExact(data)) {
        return Py_NewRef(data);
    }
    if (PyUnicode_CheckExact(data)) {
        Py_ssize_t size;
        const char *text = fallible::utf8_of(data, &size);
        if (text == nullptr) {
            // The class raises the error of its own conversion.
            if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                PyErr_Clear();
            }
            return nullptr;
        }
        return fallible::new_bytes(text, size);
    }
    return nullptr;
}

}  // namespace

int record_change(PyObject *batch, PyObject *key_obj, PyObject *value_obj)
{
    batch_object *b = as_batch(batch);
    // Only the batch's own thread, which holds its lock, records directly;
    // the count and running walks hear of a change through the class.
    if (!b->active || b->owner != PyThread_get_thread_ident() || b->length != Py_None ||
        b->walkers != 0 || b->changes == nullptr || !PyDict_CheckExact(b->changes)) {
        return 0;
    }
    Ref key = Ref::take(kept_as(key_obj));
    if (!key) {
        return PyErr_Occurred() ? -1 : 0;
    }
    Ref value = Ref::take(kept_as(value_obj));
    if (!value) {
        return PyErr_Occurred() ? -1 : 0;
    }
    return PyDict_SetItem(b->changes, key.get(), value.get()) < 0 ? -1 : 1;
}

PyType_Spec batch_spec = {
    .name = "_kvstore._Batch",
    .basicsize = sizeof(batch_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = batch_slots,
};

}  // namespace kvstore
