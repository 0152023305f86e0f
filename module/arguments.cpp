// The argument checks that the methods share.
#include "arguments.h"

namespace kvstore {

bool takes_no_arguments(const char *name, Py_ssize_t nargs, PyObject *kwnames)
{
    if (nargs == 0 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", name);
    return false;
}

_PyArg_Parser argument_parser(const char *format, const char *const *keywords)
{
    _PyArg_Parser parser{};
    parser.format = format;
    parser.keywords = keywords;
    return parser;
}

bool is_progress(const char *method, PyObject *progress)
{
    if (progress == Py_None || PyCallable_Check(progress)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() progress must be callable or None, not %T", method,
                 progress);
    return false;
}

bool key_and_default(const char *name, PyObject *const *args, Py_ssize_t nargs, InputDatum &key,
                     PyObject **fallback)
{
    if (nargs < 1 || nargs > 2) {
        _PyArg_CheckPositional(name, nargs, 1, 2);
        return false;
    }
    *fallback = nargs == 2 ? args[1] : Py_None;
    return key.convert(args[0], lookup_key);
}

}  // namespace kvstore
