// What every source of the _kvstore extension shares: the per-module state
// and the entry points the module shell registers.
#ifndef KVSTORE_H
#define KVSTORE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gdbm.h>

namespace kvstore {

// Per-module state; the interpreter allocates it zeroed and the teardown
// hooks release both references.
struct module_state {
    PyTypeObject *database_type;
    PyObject *error_type;
    // The kvstore package's base type and its walks (mapping_base.h).
    PyTypeObject *mapping_type;
    PyTypeObject *walk_type;
    PyTypeObject *batch_type;
    // The batches' rollback journal (journal_type.cpp).
    PyTypeObject *journal_type;
};

// The state of the module object `module`: the route to it for the
// module's functions (open, latest_snapshot), its set-up, and a new
// package mapping, which finds the module by its definition; everything
// else reaches the state through the object it works on.
inline module_state *state_of_module(PyObject *module)
{
    return static_cast<module_state *>(PyModule_GetState(module));
}

// The module's definition (module.cpp), by which a type derived in Python
// from the mapping base finds the module's state.
extern PyModuleDef module_def;

// The gdbm type (database_type.cpp) and open() (open.cpp).
extern PyType_Spec database_spec;
// The kvstore package's mapping base (mapping_base.cpp) and its walks
// (mapping_walk.cpp).
extern PyType_Spec mapping_spec;
extern PyType_Spec walk_spec;
// The pending changes of the package's batch (pending_changes.cpp).
extern PyType_Spec batch_spec;
PyObject *open_database(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
extern const char open_doc[];
// open() with gdbm's settings for the handle as keywords, for the kvstore
// package, whose open() takes them.
PyObject *open_tuned(PyObject *module, PyObject *const *args, size_t nargsf, PyObject *kwnames);
extern const char open_tuned_doc[];

// The batches' rollback journal and _open_beside() (journal_type.cpp).
extern PyType_Spec journal_spec;
PyObject *open_beside_file(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
extern const char open_beside_doc[];

// latest_snapshot() (crash_tolerance.cpp).
PyObject *latest_snapshot(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames);
extern const char latest_snapshot_doc[];

// Method pointers of any calling convention, as the method table stores them.
template <class F>
PyCFunction as_cfunction(F function)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Slot functions of any signature, as a type's slot table stores them.
template <class F>
void *as_slot(F function)
{
    return reinterpret_cast<void *>(function);
}

}  // namespace kvstore

#endif
