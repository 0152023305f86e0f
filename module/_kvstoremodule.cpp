// The module shell: definition, per-module state, initialisation, teardown
// and the error reporting that every database operation goes through.
#include "kvstore.h"

#include <cerrno>

namespace kvstore {

namespace {

module_state *state_of(PyObject *module)
{
    return static_cast<module_state *>(PyModule_GetState(module));
}

int module_exec(PyObject *module)
{
    module_state *state = state_of(module);
    state->database_type =
        reinterpret_cast<PyTypeObject *>(PyType_FromModuleAndSpec(module, &database_spec, nullptr));
    if (state->database_type == nullptr) {
        return -1;
    }
    state->error_type = PyErr_NewException("_kvstore.error", PyExc_OSError, nullptr);
    if (state->error_type == nullptr) {
        return -1;
    }
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject *>(state->error_type)) < 0) {
        return -1;
    }
    if (PyModule_AddStringConstant(module, "open_flags", "rwcnfsu") < 0) {
        return -1;
    }
    PyObject *version =
        Py_BuildValue("iii", GDBM_VERSION_MAJOR, GDBM_VERSION_MINOR, GDBM_VERSION_PATCH);
    return PyModule_Add(module, "_KVSTORE_VERSION", version) < 0 ? -1 : 0;
}

int module_traverse(PyObject *module, visitproc visit, void *arg)
{
    module_state *state = state_of(module);
    Py_VISIT(state->error_type);
    Py_VISIT(state->database_type);
    return 0;
}

int module_clear(PyObject *module)
{
    module_state *state = state_of(module);
    Py_CLEAR(state->error_type);
    Py_CLEAR(state->database_type);
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

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kvstore",
    module_doc,
    sizeof(module_state),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

void raise_error(module_state *state, const char *message)
{
    if (!PyErr_Occurred()) {
        PyErr_SetString(state->error_type, message);
    }
}

void raise_library_error(module_state *state, const char *fallback)
{
    if (PyErr_Occurred()) {
        return;
    }
    const char *message = gdbm_strerror(static_cast<gdbm_error>(library_errno()));
    if (message == nullptr) {
        PyErr_SetString(state->error_type, fallback);
        return;
    }
    // The text comes in the locale's encoding; an undecodable byte survives
    // as a surrogate escape rather than hiding the library's report.
    Ref text(PyUnicode_DecodeLocale(message, "surrogateescape"));
    if (text) {
        PyErr_SetObject(state->error_type, text.borrow());
    }
}

void raise_errno_first(module_state *state, const char *fallback)
{
    if (PyErr_Occurred()) {
        return;
    }
    if (errno != 0) {
        PyErr_SetFromErrno(state->error_type);
    }
    else {
        raise_library_error(state, fallback);
    }
}

bool raise_unless_miss(module_state *state, const char *fallback, bool no_error_is_miss)
{
    int code = library_errno();
    if (code == GDBM_ITEM_NOT_FOUND || (no_error_is_miss && code == GDBM_NO_ERROR)) {
        return false;
    }
    raise_library_error(state, fallback);
    return true;
}

}  // namespace kvstore

PyMODINIT_FUNC PyInit__kvstore(void)
{
    return PyModuleDef_Init(&kvstore::module_def);
}
