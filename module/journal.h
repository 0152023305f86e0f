// The rollback journal of the kvstore package's batches: the records a
// commit is about to change, as they were, in a file beside the database
// (NAME-journal), and everything that reads, writes, replaces or removes
// that file. The package keeps the policy (when to roll back, what to say);
// the layout and the file live here alone.
//
// A commit writes the journal whole before it changes the first record, and
// voids it once the changes are in the file. A journal found whole beside a
// database therefore means a commit that did not finish; one cut short (a
// crash while it was written) or voided means the database is as a commit
// left it. The file stays between the commits of one open Database, voided,
// and goes when the Database is closed: making and removing a file costs the
// folder a change for each commit, where voiding one costs a write.
//
// Layout, integers big-endian: the magic, the database file's device and
// inode numbers, the number of records and the length of the records; then
// each record (a flag byte, 1 when the key was stored, the key's and the
// value's lengths in 32 bits, the key, the value); then the CRC-32 of all
// that precedes. Bytes after it are what a longer journal left, and are not
// read. Voiding overwrites the magic with zeros.
//
// The name beside the database is ours or refused: the journal is never
// opened through a symbolic link nor left waiting on a FIFO, must be a
// regular file, and is made only where nothing stands (O_EXCL), so that a
// commit never writes into a file someone else put there. It gets the
// database file's permission bits (and its group, where the owner may give
// it): whoever may read the database may read its journal and tell a void
// one from a whole one.
#ifndef KVSTORE_JOURNAL_H
#define KVSTORE_JOURNAL_H

#include "database.h"
#include "files.h"
#include "growing.h"

#include <sys/stat.h>

namespace kvstore {

// The journal's name is the database's with this after it.
inline constexpr char journal_suffix[] = "-journal";

class Journal {
public:
    explicit Journal(module_state *state) noexcept : state_(state) {}
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // Names the journal after `database`, the database file's absolute,
    // resolved name. False with MemoryError set.
    bool name_after(const char *database);
    const char *name() const noexcept { return name_.data(); }

    // Writes the journal of a commit about to apply `changes` (change_runs.h)
    // to `db`: the records as the file holds them now. The first commit makes
    // the file; later ones write into it again while its name still leads to
    // it. With `durable`, the journal is on the disk before this returns, and
    // its name in the folder too. False with `error` set: nothing was
    // changed, and the journal is left void.
    bool begin(database_object &db, PyObject *changes, bool durable);
    // Voids the journal this object wrote: the commit's last step.
    bool make_void(bool durable);

    // Reads the journal that lies beside the database, if any: `unfinished`
    // is set when it is whole (a commit to roll back), whose records before()
    // then gives and whose file identity() names. False with `error` set for
    // anything at the name that is not a regular file, or a failed read.
    bool read(bool &unfinished);
    // The records of the journal last begun or read, as they were: a dict of
    // each key to its value, or to None where the key was not stored.
    PyObject *before() const;
    // The device and inode of the database file that journal belongs to.
    const struct stat &identity() const noexcept { return identity_; }

    // Puts a journal of the same records, for the database file now
    // identified by `device` and `inode` (rebuilt meanwhile), in the place of
    // the one beside it, in one step and flushed: the old one stays until
    // the new one is whole on the disk. False with `error` set.
    bool replace(dev_t device, ino_t inode);
    // Removes the journal beside the database, flushed, when a regular file
    // stands there: one whose commit is undone, or holds nothing to undo.
    bool remove();
    // Removes the void journal this object made, if it is still there.
    void close() noexcept;

private:
    bool compose(database_object &db, PyObject *changes, const struct stat &database);
    bool open_for_commit(const struct stat &database);
    bool write_whole(int fd);
    bool fail(const char *call, const char *name);

    module_state *state_;
    Growing<char> database_;  // NUL-terminated
    Growing<char> name_;      // NUL-terminated
    // The journal file this object made, while it holds it: its identity,
    // the process that made it (a child of fork() leaves it to the parent),
    // whether its name in the folder is on the disk and its content void.
    Descriptor file_;
    struct stat made_ {};
    pid_t maker_ = 0;
    bool named_ = false;
    bool void_ = true;
    // The journal last begun or read: header, records and checksum.
    Growing<char> content_;
    struct stat identity_ {};
};

}  // namespace kvstore

#endif
