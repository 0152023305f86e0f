// Walking the keys: keys(), firstkey() and nextkey().
#include "arguments.h"
#include "interpreter_private.h"
#include "key_walk.h"

namespace kvstore {

namespace {

// The list is bounded by the library's count, so that a damaged file whose
// traversal circles raises instead of filling all memory.
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
    KeyWalk walk(count);
    while (walk.next(db)) {
        Ref item = Ref::take(walk.key().to_bytes());
        if (!item || fallible::list_append(list.get(), item.get()) < 0) {
            return nullptr;
        }
    }
    return walk.finished() ? list.release() : nullptr;
}

// What firstkey() and nextkey() return for one step of the traversal.
PyObject *key_or_none(const LibDatum &key, bool failed)
{
    if (failed) {
        return nullptr;
    }
    return key ? key.to_bytes() : Py_NewRef(Py_None);
}

}  // namespace

PyObject *first_key(database_object &db)
{
    bool failed;
    LibDatum key = first_key_of(db, &failed);
    return key_or_none(key, failed);
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
        bool failed;
        LibDatum key = key_after(db, current.get(), &failed);
        return key_or_none(key, failed);
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
