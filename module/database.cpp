// The gdbm database type and open(): one object per open database file.
//
// Every operation that reads or changes an object's handle or cached count
// runs inside the object's critical section, so that one object shared by
// threads of the free-threaded build never sees a handle closed under it.
// Under the GIL the section costs nothing.
#include "kvstore.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace kvstore {

namespace {

struct database_object {
    PyObject_HEAD
    Py_ssize_t known_size;  // cached record count; negative while unknown
    GDBM_FILE handle;       // null once closed
};

constexpr const char closed_message[] = "GDBM object has already been closed";
constexpr const char bad_index_message[] = "gdbm mappings have bytes or string indices only";

database_object *as_db(PyObject *self)
{
    return reinterpret_cast<database_object *>(self);
}

// `type` is always the module's own gdbm type (it cannot be subclassed), a
// heap type bound to the module: its module is read directly, without the
// checks of PyType_GetModuleState, which every operation would pay for.
module_state *state_of_type(PyTypeObject *type)
{
    PyObject *module = reinterpret_cast<PyHeapTypeObject *>(type)->ht_module;
    return static_cast<module_state *>(PyModule_GetState(module));
}

module_state *state_of_object(PyObject *self)
{
    return state_of_type(Py_TYPE(self));
}

template <class Body>
auto with_lock([[maybe_unused]] PyObject *self, Body &&body) -> decltype(body())
{
    decltype(body()) result;
    Py_BEGIN_CRITICAL_SECTION(self);
    result = body();
    Py_END_CRITICAL_SECTION();
    return result;
}

bool ensure_open(database_object *db, module_state *state)
{
    if (db->handle != nullptr) {
        return true;
    }
    raise_error(state, closed_message);
    return false;
}

// The library measures records with an int.
bool fits_in_int(Py_ssize_t size)
{
    if (size <= INT_MAX) {
        return true;
    }
    PyErr_SetString(PyExc_OverflowError, "size does not fit in an int");
    return false;
}

datum make_datum(const char *data, Py_ssize_t size)
{
    return datum{const_cast<char *>(data), static_cast<int>(size)};
}

// A key or value on its way to the library, pointing into the Python
// object's own storage: nothing is copied. bytes and str storage lives as
// long as the object; any other exporter may hand out storage that lives
// only as long as its buffer, so that buffer is held until the call is over.
class InputDatum {
public:
    InputDatum() noexcept = default;
    InputDatum(const InputDatum &) = delete;
    InputDatum &operator=(const InputDatum &) = delete;
    ~InputDatum()
    {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    datum get() const noexcept { return datum_; }

    bool point(PyObject *obj, const char *data, Py_ssize_t size)
    {
        if (!PyBytes_Check(obj) && !PyUnicode_Check(obj)) {
            if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) {
                return false;
            }
            held_ = true;
            data = static_cast<const char *>(view_.buf);
            size = view_.len;
        }
        return point_to(data, size);
    }

    // For storage that outlives the call without a held buffer (bytes, str).
    bool point_to(const char *data, Py_ssize_t size)
    {
        if (!fits_in_int(size)) {
            return false;
        }
        datum_ = make_datum(data, size);
        return true;
    }

private:
    datum datum_{nullptr, 0};
    // Read only while held_: zeroing its 80 bytes would cost every store and
    // fetch two memsets for the rare buffer exporter.
    Py_buffer view_;
    bool held_ = false;
};

// to_datum for anything but an exact bytes object.
bool convert_datum(PyObject *obj, InputDatum &out, const char *failure_text)
{
    const char *data = nullptr;
    Py_ssize_t size = 0;
    bool converted;
    if (PyUnicode_CheckExact(obj)) {
        data = PyUnicode_AsUTF8AndSize(obj, &size);
        converted = data != nullptr;
    }
    else {
        converted = PyArg_Parse(obj, "s#", &data, &size) != 0;
    }
    if (!converted) {
        if (failure_text != nullptr) {
            PyErr_SetString(PyExc_TypeError, failure_text);
        }
        return false;
    }
    return out.point(obj, data, size);
}

// Converts a key or value the way the "s#" format unit does. With a failure
// text, a refused object raises TypeError with that text instead of the
// interpreter's own exception. Exact bytes, the common case, is settled
// here, inline in every caller.
inline bool to_datum(PyObject *obj, InputDatum &out, const char *failure_text)
{
    if (PyBytes_CheckExact(obj)) {
        return out.point_to(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    }
    return convert_datum(obj, out, failure_text);
}

// The membership test takes only str and bytes (and their subclasses).
bool to_membership_datum(PyObject *key, InputDatum &out)
{
    const char *data;
    Py_ssize_t size;
    if (PyUnicode_Check(key)) {
        data = PyUnicode_AsUTF8AndSize(key, &size);
        if (data == nullptr) {
            return false;
        }
    }
    else if (PyBytes_Check(key)) {
        data = PyBytes_AS_STRING(key);
        size = PyBytes_GET_SIZE(key);
    }
    else {
        PyErr_Format(PyExc_TypeError, "gdbm key must be bytes or string, not %.100s",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    return out.point(key, data, size);
}

// A key the library hands out, as bytes; None when the library has no more
// keys; an exception when the library failed instead.
PyObject *key_or_none(const LibDatum &key, module_state *state, const char *fallback)
{
    if (key) {
        return key.to_bytes();
    }
    if (raise_unless_miss(state, fallback)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---- lifecycle ----------------------------------------------------------

// Releases the handle; the object is closed afterwards whatever the library
// reports. Returns false with `error` set when the final write failed.
bool close_handle(database_object *db, module_state *state)
{
    GDBM_FILE handle = std::exchange(db->handle, nullptr);
    if (handle == nullptr) {
        return true;
    }
    errno = 0;
    if (gdbm_close(handle) == 0) {
        return true;
    }
    raise_errno_first(state, "gdbm_close() error");
    return false;
}

PyObject *db_close(PyObject *self, PyObject *)
{
    module_state *state = state_of_object(self);
    bool closed = with_lock(self, [&] { return close_handle(as_db(self), state); });
    if (!closed) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *db_exit(PyObject *self, PyObject *)
{
    return db_close(self, nullptr);
}

PyObject *db_enter(PyObject *self, PyObject *)
{
    return Py_NewRef(self);
}

void db_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    database_object *db = as_db(self);
    if (db->handle != nullptr) {
        // Nobody is left to hear a failure here.
        gdbm_close(db->handle);
    }
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int db_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// ---- records --------------------------------------------------------------

// Fetches the value stored under `key` as bytes. A key that is not stored
// returns null with no exception set and `missing` true.
PyObject *lookup(database_object *db, module_state *state, datum key, bool *missing)
{
    *missing = false;
    if (!ensure_open(db, state)) {
        return nullptr;
    }
    LibDatum value(gdbm_fetch(db->handle, key));
    if (value) {
        return value.to_bytes();
    }
    *missing = !raise_unless_miss(state, "gdbm_fetch() error");
    return nullptr;
}

PyObject *lookup_or_key_error(database_object *db, module_state *state, PyObject *key_obj,
                              datum key)
{
    bool missing;
    PyObject *value = lookup(db, state, key, &missing);
    if (missing) {
        PyErr_SetObject(PyExc_KeyError, key_obj);
    }
    return value;
}

// Stores `value_obj` under `key`, or deletes `key` when `value_obj` is null.
int assign(database_object *db, module_state *state, PyObject *key_obj, datum key,
           PyObject *value_obj)
{
    if (!ensure_open(db, state)) {
        return -1;
    }
    db->known_size = -1;
    if (value_obj == nullptr) {
        if (gdbm_delete(db->handle, key) >= 0) {
            return 0;
        }
        if (library_errno() == GDBM_ITEM_NOT_FOUND) {
            PyErr_SetObject(PyExc_KeyError, key_obj);
        }
        else {
            raise_library_error(state, "gdbm_delete() error");
        }
        return -1;
    }
    InputDatum value;
    // Converting the value may run Python code (a buffer exporter's), which
    // may close this object: look at the handle again afterwards.
    if (!to_datum(value_obj, value, bad_index_message) || !ensure_open(db, state)) {
        return -1;
    }
    errno = 0;
    if (gdbm_store(db->handle, key, value.get(), GDBM_REPLACE) >= 0) {
        return 0;
    }
    raise_errno_first(state, "gdbm_store() error");
    return -1;
}

PyObject *db_subscript(PyObject *self, PyObject *key_obj)
{
    InputDatum key;
    if (!to_datum(key_obj, key, nullptr)) {
        return nullptr;
    }
    module_state *state = state_of_object(self);
    return with_lock(self,
                     [&] { return lookup_or_key_error(as_db(self), state, key_obj, key.get()); });
}

int db_ass_subscript(PyObject *self, PyObject *key_obj, PyObject *value_obj)
{
    InputDatum key;
    if (!to_datum(key_obj, key, bad_index_message)) {
        return -1;
    }
    module_state *state = state_of_object(self);
    return with_lock(self,
                     [&] { return assign(as_db(self), state, key_obj, key.get(), value_obj); });
}

// The library's record count, or -1 with an exception set.
Py_ssize_t library_count(database_object *db, module_state *state)
{
    gdbm_count_t count;
    errno = 0;
    if (gdbm_count(db->handle, &count) == -1) {
        raise_errno_first(state, "gdbm_count() error");
        return -1;
    }
    if (count > static_cast<gdbm_count_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "count exceeds PY_SSIZE_T_MAX");
        return -1;
    }
    return static_cast<Py_ssize_t>(count);
}

Py_ssize_t count_records(database_object *db, module_state *state)
{
    if (!ensure_open(db, state)) {
        return -1;
    }
    if (db->known_size < 0) {
        db->known_size = library_count(db, state);
    }
    return db->known_size;
}

Py_ssize_t db_length(PyObject *self)
{
    module_state *state = state_of_object(self);
    return with_lock(self, [&] { return count_records(as_db(self), state); });
}

int contains_key(database_object *db, module_state *state, PyObject *key_obj)
{
    InputDatum key;
    if (!ensure_open(db, state) || !to_membership_datum(key_obj, key)) {
        return -1;
    }
    if (gdbm_exists(db->handle, key.get())) {
        return 1;
    }
    // A miss leaves "no error" or "item not found", depending on the release.
    return raise_unless_miss(state, "gdbm_exists() error", true) ? -1 : 0;
}

int db_contains(PyObject *self, PyObject *key_obj)
{
    module_state *state = state_of_object(self);
    return with_lock(self, [&] { return contains_key(as_db(self), state, key_obj); });
}

int is_nonempty(database_object *db, module_state *state)
{
    if (!ensure_open(db, state)) {
        return -1;
    }
    if (db->known_size >= 0) {
        return db->known_size > 0;
    }
    LibDatum first(gdbm_firstkey(db->handle));
    if (first) {
        return 1;
    }
    if (raise_unless_miss(state, "gdbm_firstkey() error")) {
        return -1;
    }
    db->known_size = 0;
    return 0;
}

int db_bool(PyObject *self)
{
    module_state *state = state_of_object(self);
    return with_lock(self, [&] { return is_nonempty(as_db(self), state); });
}

// ---- dictionary-style methods ------------------------------------------------

PyObject *get_value(database_object *db, module_state *state, PyObject *, datum key,
                    PyObject *fallback)
{
    bool missing;
    PyObject *value = lookup(db, state, key, &missing);
    return missing ? Py_NewRef(fallback) : value;
}

PyObject *set_default(database_object *db, module_state *state, PyObject *key_obj, datum key,
                      PyObject *fallback)
{
    bool missing;
    PyObject *value = lookup(db, state, key, &missing);
    if (!missing) {
        return value;
    }
    if (assign(db, state, key_obj, key, fallback) < 0) {
        return nullptr;
    }
    // Read back, so the caller gets the stored bytes, not the object given.
    return lookup_or_key_error(db, state, key_obj, key);
}

using KeyedBody = PyObject *(*)(database_object *, module_state *, PyObject *, datum, PyObject *);

// get() and setdefault(): a key and an optional default (None), positional
// only; the whole method runs in one critical section.
template <const char *Name, KeyedBody body>
PyObject *key_default_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 2) {
        _PyArg_CheckPositional(Name, nargs, 1, 2);
        return nullptr;
    }
    InputDatum key;
    if (!to_datum(args[0], key, nullptr)) {
        return nullptr;
    }
    PyObject *fallback = nargs == 2 ? args[1] : Py_None;
    module_state *state = state_of_object(self);
    return with_lock(self,
                     [&] { return body(as_db(self), state, args[0], key.get(), fallback); });
}

constexpr const char get_name[] = "get";
constexpr const char setdefault_name[] = "setdefault";

using Body = PyObject *(*)(database_object *, module_state *);

bool takes_no_arguments(const char *name, Py_ssize_t nargs, PyObject *kwnames)
{
    if (nargs == 0 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", name);
    return false;
}

PyObject *run_open(PyObject *self, module_state *state, Body body)
{
    return with_lock(self, [&]() -> PyObject * {
        database_object *db = as_db(self);
        return ensure_open(db, state) ? body(db, state) : nullptr;
    });
}

// A method that takes no arguments and runs `body` on the open object.
template <const char *Name, Body body>
PyObject *no_argument_method(PyObject *self, PyTypeObject *defining_class, PyObject *const *,
                             Py_ssize_t nargs, PyObject *kwnames)
{
    if (!takes_no_arguments(Name, nargs, kwnames)) {
        return nullptr;
    }
    return run_open(self, state_of_type(defining_class), body);
}

// A damaged bucket directory can send the library's traversal round in a
// circle; the list is therefore bounded by the library's own count, so that
// such a file raises instead of filling all memory.
PyObject *list_keys(database_object *db, module_state *state)
{
    Py_ssize_t count = library_count(db, state);
    if (count < 0) {
        return nullptr;
    }
    Ref list(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    const char *call = "gdbm_firstkey() error";
    LibDatum key(gdbm_firstkey(db->handle));
    while (key) {
        if (PyList_GET_SIZE(list.borrow()) == count) {
            raise_error(state, "the key traversal does not end: the database file is damaged");
            return nullptr;
        }
        Ref item(key.to_bytes());
        if (!item || PyList_Append(list.borrow(), item.borrow()) < 0) {
            return nullptr;
        }
        key = LibDatum(gdbm_nextkey(db->handle, key.view()));
        call = "gdbm_nextkey() error";
    }
    if (raise_unless_miss(state, call)) {
        return nullptr;
    }
    return list.steal();
}

constexpr const char keys_name[] = "keys";

PyObject *db_keys(PyObject *self, PyTypeObject *defining_class, PyObject *const *,
                  Py_ssize_t nargs, PyObject *kwnames)
{
    if (!takes_no_arguments(keys_name, nargs, kwnames)) {
        return nullptr;
    }
    module_state *state = state_of_type(defining_class);
    if (self == nullptr || Py_TYPE(self) != state->database_type) {
        _PyErr_BadInternalCall(__FILE_NAME__, __LINE__);
        return nullptr;
    }
    return run_open(self, state, list_keys);
}

// clear() deletes in batches gathered by one walk: asking for the first key
// before every deletion would make it quadratic in the number of records.
constexpr size_t clear_batch_keys = 4096;
constexpr size_t clear_batch_bytes = size_t{4} << 20;

// Collects up to a batch of keys from the start of the traversal. Returns
// false with an exception set when the library fails.
bool gather_keys(database_object *db, module_state *state, std::vector<LibDatum> &batch)
{
    size_t bytes = 0;
    const char *call = "gdbm_firstkey() error";
    LibDatum key(gdbm_firstkey(db->handle));
    while (key) {
        LibDatum next(gdbm_nextkey(db->handle, key.view()));
        bytes += static_cast<size_t>(key.view().dsize);
        batch.push_back(std::move(key));
        if (batch.size() == clear_batch_keys || bytes >= clear_batch_bytes) {
            return true;
        }
        key = std::move(next);
        call = "gdbm_nextkey() error";
    }
    return !raise_unless_miss(state, call);
}

PyObject *clear_records(database_object *db, module_state *state)
{
    db->known_size = -1;
    std::vector<LibDatum> batch;
    try {
        batch.reserve(clear_batch_keys);
    }
    catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    for (;;) {
        if (!gather_keys(db, state, batch)) {
            return nullptr;
        }
        if (batch.empty()) {
            Py_RETURN_NONE;
        }
        for (const LibDatum &key : batch) {
            if (gdbm_delete(db->handle, key.view()) < 0) {
                raise_error(state, "cannot delete item from database");
                return nullptr;
            }
        }
        batch.clear();
    }
}

// ---- traversal and maintenance ------------------------------------------------

PyObject *first_key(database_object *db, module_state *state)
{
    LibDatum key(gdbm_firstkey(db->handle));
    return key_or_none(key, state, "gdbm_firstkey() error");
}

// One positional-only argument; the parser names nextkey in its messages.
_PyArg_Parser nextkey_parser()
{
    static const char *const keywords[] = {"", nullptr};
    _PyArg_Parser parser{};
    parser.format = "s#:nextkey";
    parser.keywords = keywords;
    return parser;
}

PyObject *db_nextkey(PyObject *self, PyTypeObject *defining_class, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames)
{
    static _PyArg_Parser parser = nextkey_parser();
    const char *data;
    Py_ssize_t size;
    if (nargs == 1 && kwnames == nullptr && PyBytes_CheckExact(args[0])) {
        data = PyBytes_AS_STRING(args[0]);
        size = PyBytes_GET_SIZE(args[0]);
    }
    else if (!_PyArg_ParseStackAndKeywords(args, nargs, kwnames, &parser, &data, &size)) {
        return nullptr;
    }
    InputDatum current;
    if (!current.point(args[0], data, size)) {
        return nullptr;
    }
    module_state *state = state_of_type(defining_class);
    return with_lock(self, [&]() -> PyObject * {
        database_object *db = as_db(self);
        if (!ensure_open(db, state)) {
            return nullptr;
        }
        LibDatum key(gdbm_nextkey(db->handle, current.get()));
        return key_or_none(key, state, "gdbm_nextkey() error");
    });
}

PyObject *sync_file(database_object *db, module_state *state)
{
    errno = 0;
    if (gdbm_sync(db->handle) != 0) {
        raise_errno_first(state, "gdbm_sync() error");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *reorganize_file(database_object *db, module_state *state)
{
    errno = 0;
    if (gdbm_reorganize(db->handle) < 0) {
        raise_errno_first(state, "gdbm_reorganize() error");
        return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr const char firstkey_name[] = "firstkey";
constexpr const char sync_name[] = "sync";
constexpr const char reorganize_name[] = "reorganize";
constexpr const char clear_name[] = "clear";

// ---- type definition -------------------------------------------------------------

PyDoc_STRVAR(close_doc,
"close($self, /)\n--\n\n"
"Close the database.");

PyDoc_STRVAR(keys_doc,
"keys($self, /)\n--\n\n"
"Get a list of all keys in the database.");

PyDoc_STRVAR(firstkey_doc,
"firstkey($self, /)\n--\n\n"
"Return the starting key for the traversal.\n"
"\n"
"It's possible to loop over every key in the database using this method\n"
"and the nextkey() method.  The traversal is ordered by GDBM's internal\n"
"hash values, and won't be sorted by the key values.");

PyDoc_STRVAR(nextkey_doc,
"nextkey($self, key, /)\n--\n\n"
"Returns the key that follows key in the traversal.\n"
"\n"
"The following code prints every key in the database db, without having\n"
"to create a list in memory that contains them all:\n"
"\n"
"      k = db.firstkey()\n"
"      while k is not None:\n"
"          print(k)\n"
"          k = db.nextkey(k)");

PyDoc_STRVAR(reorganize_doc,
"reorganize($self, /)\n--\n\n"
"Reorganize the database.\n"
"\n"
"If you have carried out a lot of deletions and would like to shrink\n"
"the space used by the GDBM file, this routine will reorganize the\n"
"database.  GDBM will not shorten the length of a database file except\n"
"by using this reorganization; otherwise, deleted file space will be\n"
"kept and reused as new (key,value) pairs are added.");

PyDoc_STRVAR(sync_doc,
"sync($self, /)\n--\n\n"
"Flush the database to the disk file.\n"
"\n"
"When the database has been opened in fast mode, this method forces any\n"
"unwritten data to be written to the disk.");

PyDoc_STRVAR(get_doc,
"get($self, key, default=None, /)\n--\n\n"
"Get the value for key, or default if not present.");

PyDoc_STRVAR(setdefault_doc,
"setdefault($self, key, default=None, /)\n--\n\n"
"Get value for key, or set it to default and return default if not present.");

PyDoc_STRVAR(clear_doc,
"clear($self, /)\n--\n\n"
"Remove all items from the database.");

PyDoc_STRVAR(database_doc,
"This object represents a GDBM database.\n"
"GDBM objects behave like mappings (dictionaries), except that keys and\n"
"values are always immutable bytes-like objects or strings.  Printing\n"
"a GDBM object doesn't print the keys and values, and the items() and\n"
"values() methods are not supported.\n"
"\n"
"GDBM objects also support additional operations such as firstkey,\n"
"nextkey, reorganize, and sync.");

constexpr int defining_class_flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

PyMethodDef database_methods[] = {
    {"close", db_close, METH_NOARGS, close_doc},
    {"keys", as_cfunction(db_keys), defining_class_flags, keys_doc},
    {"firstkey", as_cfunction(no_argument_method<firstkey_name, first_key>),
     defining_class_flags, firstkey_doc},
    {"nextkey", as_cfunction(db_nextkey), defining_class_flags, nextkey_doc},
    {"reorganize", as_cfunction(no_argument_method<reorganize_name, reorganize_file>),
     defining_class_flags, reorganize_doc},
    {"sync", as_cfunction(no_argument_method<sync_name, sync_file>), defining_class_flags,
     sync_doc},
    {"get", as_cfunction(key_default_method<get_name, get_value>), METH_FASTCALL, get_doc},
    {"setdefault", as_cfunction(key_default_method<setdefault_name, set_default>), METH_FASTCALL,
     setdefault_doc},
    {"clear", as_cfunction(no_argument_method<clear_name, clear_records>), defining_class_flags,
     clear_doc},
    {"__enter__", db_enter, METH_NOARGS, nullptr},
    {"__exit__", db_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

template <class F>
void *as_slot(F function)
{
    return reinterpret_cast<void *>(function);
}

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

// ---- open() -------------------------------------------------------------------------

bool parse_flags(const char *letters, module_state *state, int *flags)
{
    switch (letters[0]) {
    case 'r': *flags = GDBM_READER; break;
    case 'w': *flags = GDBM_WRITER; break;
    case 'c': *flags = GDBM_WRCREAT; break;
    case 'n': *flags = GDBM_NEWDB; break;
    default:
        raise_error(state, "First flag must be one of 'r', 'w', 'c' or 'n'");
        return false;
    }
    for (const char *letter = letters + 1; *letter != '\0'; ++letter) {
        switch (*letter) {
        case 'f': *flags |= GDBM_FAST; break;
        case 's': *flags |= GDBM_SYNC; break;
        case 'u': *flags |= GDBM_NOLOCK; break;
        default:
            PyErr_Format(state->error_type, "Flag '%c' is not supported.",
                         static_cast<unsigned char>(*letter));
            return false;
        }
    }
    return true;
}

bool has_embedded_nul(const char *text, Py_ssize_t size)
{
    if (std::strlen(text) == static_cast<size_t>(size)) {
        return false;
    }
    PyErr_SetString(PyExc_ValueError, "embedded null character");
    return true;
}

// Reads the flags string and the mode, in the order the checks must run.
bool parse_open_options(PyObject *const *args, Py_ssize_t nargs, module_state *state,
                        int *flags, int *mode)
{
    if (!PyUnicode_Check(args[1])) {
        _PyArg_BadArgument("open", "argument 2", "str", args[1]);
        return false;
    }
    Py_ssize_t size;
    const char *letters = PyUnicode_AsUTF8AndSize(args[1], &size);
    if (letters == nullptr || has_embedded_nul(letters, size)) {
        return false;
    }
    if (nargs == 3) {
        *mode = PyLong_AsInt(args[2]);
        if (*mode == -1 && PyErr_Occurred()) {
            return false;
        }
    }
    return parse_flags(letters, state, flags);
}

}  // namespace

PyType_Spec database_spec = {
    "_kvstore.gdbm",
    sizeof(database_object),
    0,
    Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    database_slots,
};

PyObject *open_database(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 3) {
        _PyArg_CheckPositional("open", nargs, 1, 3);
        return nullptr;
    }
    module_state *state = static_cast<module_state *>(PyModule_GetState(module));
    int flags = GDBM_READER;
    int mode = 0666;
    if (nargs >= 2 && !parse_open_options(args, nargs, state, &flags, &mode)) {
        return nullptr;
    }
    // The converter refuses names with an embedded NUL byte itself.
    PyObject *converted = nullptr;
    if (!PyUnicode_FSConverter(args[0], &converted)) {
        return nullptr;
    }
    Ref name(converted);
    Ref self(reinterpret_cast<PyObject *>(
        PyObject_GC_New(database_object, state->database_type)));
    if (!self) {
        return nullptr;
    }
    database_object *db = as_db(self.borrow());
    db->known_size = -1;
    db->handle = nullptr;
    const char *path = PyBytes_AS_STRING(name.borrow());
    errno = 0;
    PyObject_GC_Track(self.borrow());
    db->handle = gdbm_open(path, 0, flags, mode, nullptr);
    if (db->handle != nullptr) {
        return self.steal();
    }
    if (errno != 0) {
        PyErr_SetFromErrnoWithFilename(state->error_type, path);
    }
    else {
        raise_library_error(state, "gdbm_open() error");
    }
    return nullptr;
}

const char open_doc[] =
"open($module, filename, flags='r', mode=0o666, /)\n--\n\n"
"Open a dbm database and return a dbm object.\n"
"\n"
"The filename argument is the name of the database file.\n"
"\n"
"The optional flags argument can be 'r' (to open an existing database\n"
"for reading only -- default), 'w' (to open an existing database for\n"
"reading and writing), 'c' (which creates the database if it doesn't\n"
"exist), or 'n' (which always creates a new empty database).\n"
"\n"
"Some versions of gdbm support additional flags which must be\n"
"appended to one of the flags described above.  The module constant\n"
"'open_flags' is a string of valid additional flags.  The 'f' flag\n"
"opens the database in fast mode; altered data will not automatically\n"
"be written to the disk after every change.  This results in faster\n"
"writes to the database, but may result in an inconsistent database\n"
"if the program crashes while the database is still open.  Use the\n"
"sync() method to force any unwritten data to be written to the disk.\n"
"The 's' flag causes all database operations to be synchronized to\n"
"disk.  The 'u' flag disables locking of the database file.\n"
"\n"
"The optional mode argument is the Unix mode of the file, used only\n"
"when the database has to be created.  It defaults to octal 0o666.";

}  // namespace kvstore
