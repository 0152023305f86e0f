// gdbm's two dump formats, written and read by this module itself, record
// by record, so that dump() and load() can run in steps (steps.h). The
// bytes are those gdbm's own tools write and read: gdbm_dump and gdbm_load
// exchange files with this module in either format.
//
// "ascii": a header of "#:" lines (the database file's name, owner and
// mode), each key and value as "#:len=N" and its Base64 in lines of 76
// characters, then "#:count=N" and "# End of data". "binary": a header of
// "!" lines, then each key and value as a 4-byte big-endian length, 4 bytes
// that readers skip, and the bytes; it has no end mark, so a binary dump
// cut after a complete record cannot be told from a whole one.
#ifndef KVSTORE_DUMP_FORMAT_H
#define KVSTORE_DUMP_FORMAT_H

#include "growing.h"
#include "kvstore.h"
#include "output_file.h"
#include "steps.h"

#include <sys/stat.h>

namespace kvstore {

// What an ASCII dump records about the file it was made from, as far as
// loading it applies that: the owner (by name first, as gdbm's tools look
// it up, else by number) and the mode.
struct FileMetadata {
    bool has_mode = false;
    bool has_uid = false;
    bool has_gid = false;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    char user[256] = "";
    char group[256] = "";

    // Gives the database file open on `fd` (named `db_name` in errors) this
    // owner, as root only, and this mode; false with `error` set.
    bool apply(module_state *state, int fd, const char *db_name) const;
};

// Every record of a dump file, read and checked whole before any is stored.
class DumpContents {
public:
    // Reads the dump open on `fd` (`name` in errors), one step per key or
    // value. False with `error` set: "Malformed data: NAME, line N" (or
    // "byte N" in a binary dump) for a file that is not a whole dump.
    bool read(module_state *state, const char *name, int fd, Steps &steps);

    size_t records() const { return ends_.size() / 2; }
    datum key(size_t record) const { return item(2 * record); }
    datum value(size_t record) const { return item(2 * record + 1); }
    const FileMetadata &metadata() const { return metadata_; }

private:
    friend class DumpParser;
    datum item(size_t index) const;

    Growing<char> bytes_;
    Growing<size_t> ends_;  // where each key and value ends in bytes_
    FileMetadata metadata_;
};

// Writes a dump, record by record, to `out`.
class DumpWriter {
public:
    DumpWriter(OutputFile &out, bool ascii) noexcept : out_(out), ascii_(ascii) {}

    // Whether an ASCII header can carry the file name `name` so that gdbm's
    // tools read it back unchanged.
    static bool can_record_name(const char *name);
    // `db_file`: the database file's name and status, recorded by "ascii".
    bool header(const char *name, const struct stat &db_file, bool numsync);
    bool record(datum key, datum value);
    bool end(size_t records);

private:
    bool ascii_item(datum item);
    bool binary_item(datum item);

    OutputFile &out_;
    bool ascii_;
};

}  // namespace kvstore

#endif
