// The module shell: definition, per-module state, initialisation and
// teardown.
#include "fault.h"
#include "kvstore.h"
#include "temporary_names.h"

namespace kvstore {

namespace {

// The module's types: where the state keeps each, and whether the module
// shows it by name.
struct type_entry {
    PyType_Spec *spec;
    PyTypeObject *module_state::*kept;
    bool named;
};

constexpr type_entry types[] = {
    {&database_spec, &module_state::database_type, false},
    {&mapping_spec, &module_state::mapping_type, true},
    {&walk_spec, &module_state::walk_type, false},
    {&batch_spec, &module_state::batch_type, true},
    {&journal_spec, &module_state::journal_type, true},
};

int module_exec(PyObject *module)
{
    module_state *state = state_of_module(module);
    for (const type_entry &entry : types) {
        PyTypeObject *type =
            reinterpret_cast<PyTypeObject *>(fallible::type_from_spec(module, entry.spec));
        state->*entry.kept = type;
        if (type == nullptr || (entry.named && fallible::module_add_type(module, type) < 0)) {
            return -1;
        }
    }
    state->error_type = fallible::new_exception("_kvstore.error", PyExc_OSError);
    if (state->error_type == nullptr) {
        return -1;
    }
    if (fallible::module_add_type(module, reinterpret_cast<PyTypeObject *>(state->error_type)) < 0) {
        return -1;
    }
    if (fallible::module_add_string(module, "open_flags", "rwcnfsu") < 0) {
        return -1;
    }
    PyObject *version =
        fault::injected()
            ? nullptr
            : Py_BuildValue("iii", GDBM_VERSION_MAJOR, GDBM_VERSION_MINOR, GDBM_VERSION_PATCH);
    return fallible::module_add(module, "_KVSTORE_VERSION", version) < 0 ? -1 : 0;
}

int module_traverse(PyObject *module, visitproc visit, void *arg)
{
    module_state *state = state_of_module(module);
    Py_VISIT(state->error_type);
    for (const type_entry &entry : types) {
        Py_VISIT(state->*entry.kept);
    }
    return 0;
}

int module_clear(PyObject *module)
{
    module_state *state = state_of_module(module);
    Py_CLEAR(state->error_type);
    for (const type_entry &entry : types) {
        Py_CLEAR(state->*entry.kept);
    }
    return 0;
}

void module_free(void *module)
{
    module_clear(static_cast<PyObject *>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyMethodDef module_methods[] = {
    {"open", as_cfunction(open_database), METH_FASTCALL, open_doc},
    {"_open_tuned", as_cfunction(open_tuned), METH_FASTCALL | METH_KEYWORDS, open_tuned_doc},
    {"latest_snapshot", as_cfunction(latest_snapshot), METH_FASTCALL | METH_KEYWORDS,
     latest_snapshot_doc},
    {"_leftover_names", leftover_names, METH_O, leftover_names_doc},
    {"_open_beside", as_cfunction(open_beside_file), METH_FASTCALL, open_beside_doc},
#ifdef KVSTORE_FAULT_INJECTION
    {"_fault_at", fault::fault_at, METH_O, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(module_doc,
"This module provides an interface to the GNU DBM (GDBM) library.\n"
"\n"
"It resembles the simpler interface to the classic Unix dbm library, but\n"
"uses GDBM to offer more functionality.  The file formats of the two\n"
"libraries are incompatible.\n"
"\n"
"GDBM objects behave like mappings (dictionaries), except that keys and\n"
"values are always immutable bytes-like objects or strings.  Printing\n"
"a GDBM object doesn't print the keys and values, and the items() and\n"
"values() methods are not supported.");

}  // namespace

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_kvstore",
    .m_doc = module_doc,
    .m_size = sizeof(module_state),
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = module_traverse,
    .m_clear = module_clear,
    .m_free = module_free,
};

}  // namespace kvstore

PyMODINIT_FUNC PyInit__kvstore(void)
{
    return PyModuleDef_Init(&kvstore::module_def);
}
