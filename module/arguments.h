// The argument checks that the methods share, worded as the interpreter's
// own argument parser words them.
#ifndef KVSTORE_ARGUMENTS_H
#define KVSTORE_ARGUMENTS_H

#include "database.h"
#include "interpreter_private.h"

#include <algorithm>

namespace kvstore {

// get(), setdefault() and pop(): a key and an optional default (None when
// not given), positional only.
bool key_and_default(const char *name, PyObject *const *args, Py_ssize_t nargs, InputDatum &key,
                     PyObject **fallback);

// Methods check their arguments before they check that the object is open.
bool takes_no_arguments(const char *name, Py_ssize_t nargs, PyObject *kwnames);
// A parser of the interpreter's, which words every argument error as the
// interpreter does; `keywords` names the parameters, "" for positional-only
// ones.
_PyArg_Parser argument_parser(const char *format, const char *const *keywords);
// `progress` as the long operations take it: None or a callable.
bool is_progress(const char *method, PyObject *progress);

// A method's name as a template argument.
template <size_t Size>
struct method_name {
    constexpr method_name(const char (&name)[Size]) { std::copy_n(name, Size, text); }
    char text[Size];
};

// A long operation's one argument: the keyword progress, None or a callable.
// `Format` is the parser's, which names the method after its colon.
template <method_name Name, method_name Format>
bool progress_argument(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                       PyObject **progress)
{
    static const char *const keywords[] = {"progress", nullptr};
    static _PyArg_Parser parser = argument_parser(Format.text, keywords);
    *progress = Py_None;
    return _PyArg_ParseStackAndKeywords(args, nargs, kwnames, &parser, progress) &&
           is_progress(Name.text, *progress);
}

constexpr int defining_class_flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

// A method registered with defining_class_flags that takes no arguments
// and runs `body` on the open object.
template <method_name Name, auto body>
PyObject *no_argument_method(PyObject *self, PyTypeObject *, PyObject *const *, Py_ssize_t nargs,
                             PyObject *kwnames)
{
    return takes_no_arguments(Name.text, nargs, kwnames) ? on_open(self, body) : nullptr;
}

}  // namespace kvstore

#endif
