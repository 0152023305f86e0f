// A database rewritten through a new file beside it, as compact() and
// load() do: the new file is opened with the database's own flags (so its
// lock is held from the start), filled in steps, flushed, renamed over the
// database's name, and only then does the object let the old file go. An
// opener never finds the name unlocked, and until the rename a failure
// removes the new file and leaves the database file byte for byte as it was.
#ifndef KVSTORE_REWRITE_H
#define KVSTORE_REWRITE_H

#include "database.h"
#include "files.h"
#include "steps.h"

namespace kvstore {

// The database's own cache setting, put back unless its handle is closed.
class KeptCache {
public:
    KeptCache() = default;
    KeptCache(const KeptCache &) = delete;
    KeptCache &operator=(const KeptCache &) = delete;
    ~KeptCache();
    // Notes the cache setting of `handle`, then makes its cache small.
    bool limit(GDBM_FILE handle);
    void forget() { handle_ = nullptr; }

private:
    GDBM_FILE handle_ = nullptr;
    size_t size_ = 0;
    int automatic_ = 0;
};

class Rewrite {
public:
    Rewrite(database_object *db, module_state *state) : db_(db), state_(state) {}
    Rewrite(const Rewrite &) = delete;
    Rewrite &operator=(const Rewrite &) = delete;
    ~Rewrite();

    // Checks that the database may be rewritten here, counts its records
    // and creates the new file. False with `error` set.
    bool begin();
    // The database's records, counted by begin().
    Py_ssize_t records() const { return count_; }
    // The new file's handle, for the caller to store records in.
    GDBM_FILE target() const { return handle_; }
    // Copies every record of the database into the new file, one unit of
    // `steps` each; the first work done with `steps`.
    bool copy(Steps &steps);
    // Gives the new file the database's owner (where permitted), mode and
    // sync mode; the caller may set its own owner and mode after this.
    bool settle();
    // Flushes the new file, renames it over the database's name and puts
    // its handle in the old one's place: from here on the rewrite is done,
    // even when the folder's flush, the last thing, fails.
    bool take_name();

private:
    bool make_name();
    bool open_folder();
    bool create_file();
    bool flush_file();
    void let_old_file_go(GDBM_FILE old);

    database_object *db_;
    module_state *state_;
    KeptCache kept_;
    Py_ssize_t count_ = -1;
    int flags_ = 0;
    int block_size_ = 0;
    CString name_;
    MadeFile made_;
    GDBM_FILE handle_ = nullptr;
    int folder_ = -1;
};

}  // namespace kvstore

#endif
