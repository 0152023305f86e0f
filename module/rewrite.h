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

// The database handle's own settings, which open() may have tuned. The new
// file gets them, its cache from its creation. A cache the library sizes
// itself is kept small on the old handle while the rewrite reads it, and
// given back to it should the rewrite fail; a cache size the caller chose is
// left alone. No handle's cache is ever made larger by a setting: gdbm 1.23
// aborts in some such resizes.
class KeptSettings {
public:
    explicit KeptSettings(database_object &db) : db_(db), kept_in_(this_process()) {}
    KeptSettings(const KeptSettings &) = delete;
    KeptSettings &operator=(const KeptSettings &) = delete;
    ~KeptSettings();
    // Notes the database handle's settings, then makes its cache small
    // where the library sizes it.
    bool keep();
    // Gives the new file's `handle` the database's cache size; false when
    // the library refuses.
    bool size_new_cache(GDBM_FILE handle) const;
    // Gives `handle` the free-space settings; the cache's comes at the end,
    // and memory mapping with the open flags.
    bool carry_to(GDBM_FILE handle) const;

private:
    database_object &db_;
    // In a child forked during the rewrite, the handle is the parent's copy.
    pid_t kept_in_;
    // The handle whose cache keep() made small.
    GDBM_FILE shrunk_ = nullptr;
    size_t cache_size_ = 0;
    int cache_auto_ = 0;
    int central_free_ = 0;
    int coalesce_blocks_ = 0;
};

class Rewrite {
public:
    explicit Rewrite(database_object &db)
        : db_(db), kept_(db), file_(db.state, db.name), made_in_(this_process())
    {
    }
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
    // Gives the new file the database's owner (where permitted), mode,
    // settings and sync mode; the caller may set its own owner and mode
    // after this.
    bool settle();
    // Flushes the new file, renames it over the database's name and puts
    // its handle in the old one's place: from here on the rewrite is done,
    // even when the folder's flush, the last thing, fails.
    bool take_name();

private:
    bool create_file();
    bool sync_library();
    void let_old_file_go(GDBM_FILE old);

    database_object &db_;
    KeptSettings kept_;
    Py_ssize_t count_ = -1;
    int flags_ = 0;
    int block_size_ = 0;
    ReplacingFile file_;
    GDBM_FILE handle_ = nullptr;
    pid_t made_in_;  // the process that opens the new file
};

}  // namespace kvstore

#endif
