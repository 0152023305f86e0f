// The kvstore package's way to the files it keeps beside a database:
// _Journal, a batch's rollback journal (journal.h), and _open_beside(), the
// shared store's lock file. Private: the package alone calls them.
#include "arguments.h"
#include "journal.h"

#include <new>

namespace kvstore {

namespace {

struct journal_object {
    PyObject_HEAD
    // Made in place once the object is; dealloc unmakes it only then.
    bool made;
    Journal journal;
};

journal_object *as_journal(PyObject *self)
{
    return reinterpret_cast<journal_object *>(self);
}

module_state *state_of_type(PyTypeObject *type)
{
    return static_cast<module_state *>(PyType_GetModuleState(type));
}

// Runs `body(Journal &)` inside the object's critical section.
template <class Body>
PyObject *with_journal(PyObject *self, Body body)
{
    return in_section(self, [&]() -> PyObject * { return body(as_journal(self)->journal); });
}

PyObject *none_or_null(bool done)
{
    return done ? Py_NewRef(Py_None) : nullptr;
}

PyObject *journal_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    PyObject *database;
    if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) ||
        !PyArg_UnpackTuple(args, "_Journal", 1, 1, &database)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "_Journal() takes no keyword arguments");
        }
        return nullptr;
    }
    PyObject *converted = nullptr;
    if (!fallible::fs_converter(database, &converted)) {
        return nullptr;
    }
    Ref path = Ref::take(converted);
    Ref self = Ref::take(fault::injected() ? nullptr : type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    journal_object *j = as_journal(self.get());
    new (&j->journal) Journal(state_of_type(type));
    j->made = true;
    if (!j->journal.name_after(PyBytes_AS_STRING(path.get()))) {
        return nullptr;
    }
    return self.release();
}

void journal_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    journal_object *j = as_journal(self);
    if (j->made) {
        j->journal.~Journal();
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *journal_name(PyObject *self, void *)
{
    return fallible::decode_fs(as_journal(self)->journal.name());
}

PyObject *journal_begin(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames)
{
    static const char *const keywords[] = {"", "", "durable", nullptr};
    static _PyArg_Parser parser = argument_parser("OO!|$p:begin", keywords);
    PyObject *raw;
    PyObject *changes;
    int durable = 0;
    if (!_PyArg_ParseStackAndKeywords(args, nargs, kwnames, &parser, &raw, &PyDict_Type, &changes,
                                      &durable)) {
        return nullptr;
    }
    module_state *state = state_of_type(Py_TYPE(self));
    if (!PyObject_TypeCheck(raw, state->database_type)) {
        PyErr_Format(PyExc_TypeError, "begin() argument 1 must be a gdbm object, not %.100s",
                     Py_TYPE(raw)->tp_name);
        return nullptr;
    }
    return with_journal(self, [&](Journal &journal) {
        return on_open(raw, [&](database_object &db) {
            return none_or_null(journal.begin(db, changes, durable != 0));
        });
    });
}

PyObject *journal_void(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames)
{
    static const char *const keywords[] = {"durable", nullptr};
    static _PyArg_Parser parser = argument_parser("|$p:void", keywords);
    int durable = 0;
    if (!_PyArg_ParseStackAndKeywords(args, nargs, kwnames, &parser, &durable)) {
        return nullptr;
    }
    return with_journal(self, [&](Journal &journal) {
        return none_or_null(journal.make_void(durable != 0));
    });
}

PyObject *journal_read(PyObject *self, PyObject *)
{
    return with_journal(self, [&](Journal &journal) -> PyObject * {
        bool unfinished;
        if (!journal.read(unfinished)) {
            return nullptr;
        }
        if (!unfinished) {
            return Py_NewRef(Py_None);
        }
        const struct stat &identity = journal.identity();
        Ref device = Ref::take(fault::injected() ? nullptr
                               : PyLong_FromUnsignedLongLong(identity.st_dev));
        Ref inode = Ref::take(fault::injected() ? nullptr
                              : PyLong_FromUnsignedLongLong(identity.st_ino));
        return device && inode ? fallible::new_pair(device.get(), inode.get()) : nullptr;
    });
}

PyObject *journal_before(PyObject *self, PyObject *)
{
    return with_journal(self, [](Journal &journal) { return journal.before(); });
}

PyObject *journal_replace(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    static const char *const keywords[] = {"", "", nullptr};
    static _PyArg_Parser parser = argument_parser("KK:replace", keywords);
    unsigned long long device;
    unsigned long long inode;
    if (!_PyArg_ParseStackAndKeywords(args, nargs, nullptr, &parser, &device, &inode)) {
        return nullptr;
    }
    return with_journal(self, [&](Journal &journal) {
        return none_or_null(
            journal.replace(static_cast<dev_t>(device), static_cast<ino_t>(inode)));
    });
}

PyObject *journal_remove(PyObject *self, PyObject *)
{
    return with_journal(self, [](Journal &journal) { return none_or_null(journal.remove()); });
}

PyObject *journal_close(PyObject *self, PyObject *)
{
    return with_journal(self, [](Journal &journal) {
        journal.close();
        return Py_NewRef(Py_None);
    });
}

PyMethodDef journal_methods[] = {
    {"begin", as_cfunction(journal_begin), METH_FASTCALL | METH_KEYWORDS,
     "begin($self, raw, changes, /, *, durable=False)\n--\n\n"
     "Write the journal of a commit about to apply the dict changes to the\n"
     "gdbm object raw: the records as the file holds them now.  With durable,\n"
     "flushed (its name in the folder too).  On error nothing was changed and\n"
     "the journal is void."},
    {"void", as_cfunction(journal_void), METH_FASTCALL | METH_KEYWORDS,
     "void($self, /, *, durable=False)\n--\n\n"
     "Void the journal that begin() wrote: the commit's last step."},
    {"read", journal_read, METH_NOARGS,
     "read($self, /)\n--\n\n"
     "Read the journal beside the database: the (device, inode) of the file\n"
     "it belongs to when it is whole (a commit to roll back), else None (no\n"
     "journal, or one cut short or void).  error for anything there that is\n"
     "not a regular file."},
    {"before", journal_before, METH_NOARGS,
     "before($self, /)\n--\n\n"
     "The records of the journal last begun or read, as they were: each key's\n"
     "value, or None where the key was not stored."},
    {"replace", as_cfunction(journal_replace), METH_FASTCALL,
     "replace($self, device, inode, /)\n--\n\n"
     "Put a journal of the same records, for the database file now at device\n"
     "and inode, in the place of the one beside it, whole and flushed."},
    {"remove", journal_remove, METH_NOARGS,
     "remove($self, /)\n--\n\n"
     "Remove the journal beside the database, flushed."},
    {"close", journal_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Remove the void journal this object made, if it is still there."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef journal_getset[] = {
    {"name", journal_name, nullptr, "The journal's file name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot journal_slots[] = {
    {Py_tp_new, as_slot(journal_new)},
    {Py_tp_dealloc, as_slot(journal_dealloc)},
    {Py_tp_methods, journal_methods},
    {Py_tp_getset, journal_getset},
    {Py_tp_doc, const_cast<char *>(
                    "_Journal(database, /)\n--\n\n"
                    "The rollback journal of the batches of the database file database (its\n"
                    "absolute, resolved name), which lies beside it.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec journal_spec = {
    .name = "_kvstore._Journal",
    .basicsize = sizeof(journal_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = journal_slots,
};

PyObject *open_beside_file(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    static const char *const keywords[] = {"", "", nullptr};
    static _PyArg_Parser parser = argument_parser("Oi:_open_beside", keywords);
    PyObject *name;
    int mode;
    if (!_PyArg_ParseStackAndKeywords(args, nargs, nullptr, &parser, &name, &mode)) {
        return nullptr;
    }
    PyObject *converted = nullptr;
    if (!fallible::fs_converter(name, &converted)) {
        return nullptr;
    }
    Ref path = Ref::take(converted);
    Descriptor file(open_beside(state_of_module(module), PyBytes_AS_STRING(path.get()),
                                O_RDONLY | O_CREAT, static_cast<mode_t>(mode)));
    if (file.get() < 0) {
        return nullptr;
    }
    PyObject *fd = fault::injected() ? nullptr : PyLong_FromLong(file.get());
    if (fd != nullptr) {
        file.hand_on();
    }
    return fd;
}

const char open_beside_doc[] =
"_open_beside($module, name, mode, /)\n--\n\n"
"Open the file name beside a database for reading, made with mode (less the\n"
"umask) when missing; return its descriptor.  Never through a symbolic link,\n"
"never waiting on a FIFO, and only a regular file: error otherwise.";

}  // namespace kvstore
