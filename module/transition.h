// TEMPORARY: old spellings for files not yet converted. Removed before the end.
#ifndef KVSTORE_TRANSITION_H
#define KVSTORE_TRANSITION_H
namespace kvstore {
inline void raise_errno_first(module_state *s, const char *f, const char *n = nullptr) { raise_failure(s, errno_first(f, n)); }
inline void raise_library_error(module_state *s, const char *f) { raise_failure(s, library_failure(f)); }
inline void raise_os_error(module_state *s, int n, const char *t, const char *f = nullptr) { raise_failure(s, system_failure(n, t, f)); }
inline bool ensure_open(database_object *db, module_state *) { return ensure_open(*db); }
inline bool may_change(database_object *db, module_state *) { return may_change(*db); }
inline bool may_rewrite(database_object *db, module_state *) { return may_rewrite(*db); }
inline bool commit_change(database_object *db, module_state *) { return commit_change(*db); }
inline Py_ssize_t library_count(database_object *db, module_state *) { return library_count(*db); }
inline PyObject *lookup(database_object *db, module_state *, datum key, bool *missing) { return lookup(*db, key, missing); }
inline bool flush_failed_unreported(database_object *db, module_state *) { return flush_failed_unreported(*db); }
inline module_state *state_of_object(PyObject *self) { return as_db(self)->state; }
inline GDBM_FILE take_handle(database_object *db) { return take_handle(*db); }
template <class Body>
auto with_lock([[maybe_unused]] PyObject *self, Body &&body) -> decltype(body())
{
    decltype(body()) result;
    Py_BEGIN_CRITICAL_SECTION(self);
    result = body();
    Py_END_CRITICAL_SECTION();
    return result;
}
}
#endif
