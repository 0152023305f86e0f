// Walking the keys: keys(), firstkey() and nextkey().
#include "database.h"
#include "interpreter_private.h"

namespace kvstore {

namespace {

// A damaged bucket directory can send the library's traversal round in a
// circle; the list is therefore bounded by the library's own count, so that
// such a file raises instead of filling all memory.
PyObject *list_keys(database_object &db)
{
    Py_ssize_t count = library_count(db);
    if (count < 0) {
        return nullptr;
    }
    Ref list = Ref::take(fallible::new_list(0));
    if (!list) {
        return nullptr;
    }
    const char *call = "gdbm_firstkey() error";
    LibDatum key(gdbm_firstkey(db.handle));
    while (key) {
        if (PyList_GET_SIZE(list.borrow()) == count) {
            raise_error(db.state, endless_traversal_message);
            return nullptr;
        }
        Ref item = Ref::take(key.to_bytes());
        if (!item || fallible::list_append(list.borrow(), item.borrow()) < 0) {
            return nullptr;
        }
        key = LibDatum(gdbm_nextkey(db.handle, key.view()));
        call = "gdbm_nextkey() error";
    }
    if (raise_unless_miss(db.state, call)) {
        return nullptr;
    }
    return list.release();
}

}  // namespace

PyObject *first_key(database_object &db)
{
    LibDatum key(gdbm_firstkey(db.handle));
    return key_or_none(key, db.state, "gdbm_firstkey() error");
}

PyObject *db_keys(PyObject *self, PyTypeObject *defining_class, PyObject *const *,
                  Py_ssize_t nargs, PyObject *kwnames)
{
    if (!takes_no_arguments("keys", nargs, kwnames)) {
        return nullptr;
    }
    if (self == nullptr || Py_TYPE(self) != defining_class) {
        _PyErr_BadInternalCall(__FILE_NAME__, __LINE__);
        return nullptr;
    }
    return on_open(self, list_keys);
}

PyObject *db_nextkey(PyObject *self, PyTypeObject *, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames)
{
    static const char *const keywords[] = {"", nullptr};
    static _PyArg_Parser parser = argument_parser("O:nextkey", keywords);
    PyObject *key_obj;
    if (nargs == 1 && kwnames == nullptr) {
        key_obj = args[0];
    }
    else if (!_PyArg_ParseStackAndKeywords(args, nargs, kwnames, &parser, &key_obj)) {
        return nullptr;
    }
    InputDatum current;
    if (!current.convert(key_obj, nextkey_key)) {
        return nullptr;
    }
    return on_open(self, [&](database_object &db) {
        LibDatum key(gdbm_nextkey(db.handle, current.get()));
        return key_or_none(key, db.state, "gdbm_nextkey() error");
    });
}

const char keys_doc[] =
"keys($self, /)\n--\n\n"
"Get a list of all keys in the database.";

const char firstkey_doc[] =
"firstkey($self, /)\n--\n\n"
"Return the starting key for the traversal.\n"
"\n"
"It's possible to loop over every key in the database using this method\n"
"and the nextkey() method.  The traversal is ordered by GDBM's internal\n"
"hash values, and won't be sorted by the key values.";

const char nextkey_doc[] =
"nextkey($self, key, /)\n--\n\n"
"Returns the key that follows key in the traversal.\n"
"\n"
"The following code prints every key in the database db, without having\n"
"to create a list in memory that contains them all:\n"
"\n"
"      k = db.firstkey()\n"
"      while k is not None:\n"
"          print(k)\n"
"          k = db.nextkey(k)";

}  // namespace kvstore
