// The gdbm type: its docstring, method table, slots and spec.
#include "arguments.h"

namespace kvstore {

namespace {

PyDoc_STRVAR(database_doc,
"This object represents a GDBM database.\n"
"GDBM objects behave like mappings (dictionaries), except that keys and\n"
"values are always immutable bytes-like objects or strings.  Printing\n"
"a GDBM object doesn't print the keys and values, and the items() and\n"
"values() methods are not supported.\n"
"\n"
"GDBM objects also support additional operations such as firstkey,\n"
"nextkey, reorganize, and sync.");

PyMethodDef database_methods[] = {
    {"close", db_close, METH_NOARGS, close_doc},
    {"_close_letting_go", db_close_letting_go, METH_NOARGS, close_letting_go_doc},
    {"keys", as_cfunction(db_keys), defining_class_flags, keys_doc},
    {"firstkey", as_cfunction(no_argument_method<"firstkey", first_key>), defining_class_flags,
     firstkey_doc},
    {"nextkey", as_cfunction(db_nextkey), defining_class_flags, nextkey_doc},
    {"reorganize", as_cfunction(no_argument_method<"reorganize", reorganize_file>),
     defining_class_flags, reorganize_doc},
    {"compact", as_cfunction(db_compact), METH_FASTCALL | METH_KEYWORDS, compact_doc},
    {"sync", as_cfunction(no_argument_method<"sync", sync_file>), defining_class_flags, sync_doc},
    {"failure_atomic", as_cfunction(db_failure_atomic), METH_FASTCALL | METH_KEYWORDS,
     failure_atomic_doc},
    {"recover", as_cfunction(db_recover), METH_FASTCALL | METH_KEYWORDS, recover_doc},
    {"get", as_cfunction(db_get), METH_FASTCALL, get_doc},
    {"setdefault", as_cfunction(db_setdefault), METH_FASTCALL, setdefault_doc},
    {"clear", as_cfunction(no_argument_method<"clear", clear_records>), defining_class_flags,
     clear_doc},
    {"dump", as_cfunction(db_dump), METH_FASTCALL | METH_KEYWORDS, dump_doc},
    {"load", as_cfunction(db_load), METH_FASTCALL | METH_KEYWORDS, load_doc},
    {"_load_with", as_cfunction(db_load_with), METH_FASTCALL, load_with_doc},
    {"_apply", as_cfunction(db_apply), METH_FASTCALL | METH_KEYWORDS, apply_doc},
    {"_reserve", db_reserve, METH_O, reserve_doc},
    {"_release", db_release, METH_NOARGS, release_doc},
    {"__enter__", db_enter, METH_NOARGS, nullptr},
    {"__exit__", db_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot database_slots[] = {
    {Py_tp_dealloc, as_slot(db_dealloc)},
    {Py_tp_traverse, as_slot(db_traverse)},
    {Py_tp_methods, database_methods},
    {Py_sq_contains, as_slot(db_contains)},
    {Py_mp_length, as_slot(db_length)},
    {Py_mp_subscript, as_slot(db_subscript)},
    {Py_mp_ass_subscript, as_slot(db_ass_subscript)},
    {Py_nb_bool, as_slot(db_bool)},
    {Py_tp_doc, const_cast<char *>(database_doc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec database_spec = {
    .name = "_kvstore.gdbm",
    .basicsize = sizeof(database_object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = database_slots,
};

}  // namespace kvstore
