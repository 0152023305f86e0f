// Every call of the module that can fail on its own (an allocation, a
// buffer acquisition, a decoding), behind one wrapper each: call the
// wrapper, never the interpreter function, so that each such call is a
// site the fault-injection sweep reaches.
//
// Built with -Dfault_injection=true (the sanitizer build of
// scripts/check_memory.sh), every wrapper first counts itself and the n-th
// counted call fails with MemoryError instead of running; the private
// module function _fault_at(n) chooses n and reports where the chosen call
// was (see module/fault.cpp). In every other build a wrapper is the call
// itself: injected() is a constant false.
//
// A call the list below lacks gets a wrapper here, in the same shape, or
// is guarded where it is made:
//     PyObject *made = fault::injected() ? nullptr : PyFoo_New(...);
// Each wrapper takes its caller's source location, so that the sweep can
// check that it reached every site.
#ifndef KVSTORE_FAULT_H
#define KVSTORE_FAULT_H

#include "kvstore.h"

#include <cstddef>
#include <new>
#include <source_location>
#include <vector>

namespace kvstore {

namespace fault {

#ifdef KVSTORE_FAULT_INJECTION
// Counts one fallible call; true, with MemoryError set, when it is the one
// chosen to fail.
bool injected(std::source_location where = std::source_location::current());
// _fault_at(n, /): the n-th fallible call from now on fails (0: none);
// returns how many calls were counted since the previous _fault_at().
PyObject *fault_at(PyObject *module, PyObject *arg);
#else
constexpr bool injected(std::source_location = std::source_location::current()) noexcept
{
    return false;
}
#endif

}  // namespace fault

namespace fallible {

inline PyObject *new_bytes(const char *data, Py_ssize_t size,
                           std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? nullptr : PyBytes_FromStringAndSize(data, size);
}

inline PyObject *new_list(Py_ssize_t size,
                          std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? nullptr : PyList_New(size);
}

inline PyObject *new_pair(PyObject *first, PyObject *second,
                          std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? nullptr : PyTuple_Pack(2, first, second);
}

inline PyObject *new_dict(std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? nullptr : PyDict_New();
}

inline int dict_set(PyObject *dict, PyObject *key, PyObject *value,
                    std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? -1 : PyDict_SetItem(dict, key, value);
}

inline int list_append(PyObject *list, PyObject *item,
                       std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? -1 : PyList_Append(list, item);
}

inline int get_buffer(PyObject *exporter, Py_buffer *view, int flags,
                      std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? -1 : PyObject_GetBuffer(exporter, view, flags);
}

inline const char *utf8_of(PyObject *text, Py_ssize_t *size,
                           std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? nullptr : PyUnicode_AsUTF8AndSize(text, size);
}

inline PyObject *decode_fs(const char *name,
                           std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? nullptr : PyUnicode_DecodeFSDefault(name);
}

inline PyObject *decode_locale(const char *text, const char *errors,
                               std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? nullptr : PyUnicode_DecodeLocale(text, errors);
}

// PyUnicode_FSConverter: 0 on failure.
inline int fs_converter(PyObject *name, PyObject **converted,
                        std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? 0 : PyUnicode_FSConverter(name, converted);
}

template <class T>
T *gc_new(PyTypeObject *type,
          std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? nullptr : PyObject_GC_New(T, type);
}

inline PyObject *type_from_spec(PyObject *module, PyType_Spec *spec,
                                std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? nullptr : PyType_FromModuleAndSpec(module, spec, nullptr);
}

inline PyObject *new_exception(const char *name, PyObject *base,
                               std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? nullptr : PyErr_NewException(name, base, nullptr);
}

inline int module_add_type(PyObject *module, PyTypeObject *type,
                           std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? -1 : PyModule_AddType(module, type);
}

inline int module_add_string(PyObject *module, const char *name, const char *value,
                             std::source_location where = std::source_location::current())
{
    return fault::injected(where) ? -1 : PyModule_AddStringConstant(module, name, value);
}

// Steals `value` whether it succeeds or not, as PyModule_Add does.
inline int module_add(PyObject *module, const char *name, PyObject *value,
                      std::source_location where = std::source_location::current())
{
    if (fault::injected(where)) {
        Py_XDECREF(value);
        return -1;
    }
    return PyModule_Add(module, name, value);
}

// std::vector::reserve with MemoryError instead of std::bad_alloc.
template <class T>
bool reserve(std::vector<T> &items, std::size_t count,
             std::source_location where = std::source_location::current())
{
    if (fault::injected(where)) {
        return false;
    }
    try {
        items.reserve(count);
    }
    catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

}  // namespace fallible

}  // namespace kvstore

#endif
