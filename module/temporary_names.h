// The names of the files made beside a target for a while, and what killed
// processes leave under them.
//
// The rewrite's new file beside a database (compact(), load()), a dump's
// unfinished file beside its final name and a batch's journal made anew
// beside the journal it replaces are named after that target, so
// that a later call for the same target finds what a killed process left:
// a stem, a mark (".compact.", ".unfinished-", ".new-") and unique characters, in
// the target's folder. The stem is the target's last part; where that would
// make a name longer than the folder's file system takes (NAME_MAX), it is
// the start of that part, cut at a character's edge, then "~" and 8 hex
// digits of a hash (32-bit FNV-1a) of the whole part, so that the name fits
// wherever the target's fits. kvstore/_leftovers.py lists them through
// _leftover_names().
#ifndef KVSTORE_TEMPORARY_NAMES_H
#define KVSTORE_TEMPORARY_NAMES_H

#include "growing.h"
#include "kvstore.h"

namespace kvstore {

// A kind of file made beside a target: the mark after the stem, then
// `unique` characters of `alphabet`.
struct TemporaryKind {
    const char *mark;
    size_t unique;
    const char *alphabet;
};

// A database's new file in compact() and load().
extern const TemporaryKind rewritten_database;
// A dump's file before it takes its name.
extern const TemporaryKind unfinished_dump;
// A batch's journal made anew, beside the journal it replaces (journal.h).
extern const TemporaryKind replacing_journal;

// Opens the folder that holds `target`, as `target` names it; -1 with errno
// set.
int open_folder_of(const char *target);

// Writes into `out` the stem of `target` and `kind`'s mark, NUL-terminated,
// with room after it for the unique characters and a NUL; out.size() is the
// length without the NUL. `folder` is open_folder_of(target). False with
// MemoryError set.
bool temporary_prefix(int folder, const char *target, const TemporaryKind &kind,
                      Growing<char> &out);

// A process killed while it wrote such a file leaves it behind; the next
// call for the same target removes it. What tells a leftover from a file
// that a live process is writing is a lock: its maker takes an exclusive
// flock() on it as soon as it exists, before writing a byte, and holds it
// until the file has taken the target's name or is removed, so a lock that
// can be taken means that its maker is gone. (gdbm 1.23 locks a database
// with flock() too, on the same open file: for the rewrite's new file the
// two are one lock.)
//
// Removes every file of `folder` named `prefix` (from temporary_prefix())
// and `kind`'s unique characters that no live process holds: a regular
// file, not reached through a symbolic link, whose lock can be taken, and
// removed only while its name still leads to the file locked. Anything
// else, and any failure, is left alone: the sweep never fails the call it
// serves.
void sweep_leftovers(int folder, const char *prefix, const TemporaryKind &kind);

// _leftover_names(target, /): the paths of the files of every kind named
// after the database or dump `target` (bytes, as os.fsencode() gives it),
// or after its journal, in its folder, whether a live process holds them or
// not; none where the folder cannot be read.
PyObject *leftover_names(PyObject *module, PyObject *target);
extern const char leftover_names_doc[];

}  // namespace kvstore

#endif
