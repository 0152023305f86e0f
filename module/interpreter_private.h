// Argument helpers that libpython exports but declares only in its internal
// headers. The module needs their exact messages. This is the one place to
// revisit when an interpreter release changes them: the signatures below are
// checked against each supported interpreter's exports when it is added.
#ifndef KVSTORE_INTERPRETER_PRIVATE_H
#define KVSTORE_INTERPRETER_PRIVATE_H

#include <Python.h>

extern "C" {
PyAPI_FUNC(int) _PyArg_CheckPositional(const char *, Py_ssize_t, Py_ssize_t, Py_ssize_t);
PyAPI_FUNC(void) _PyArg_BadArgument(const char *, const char *, const char *, PyObject *);
PyAPI_FUNC(int) _PyArg_ParseStackAndKeywords(PyObject *const *, Py_ssize_t, PyObject *,
                                             struct _PyArg_Parser *, ...);
}

#endif
