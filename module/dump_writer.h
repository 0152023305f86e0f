// Writing a dump in either of gdbm's formats (dump_format.h), record by
// record, to the file dump() makes.
#ifndef KVSTORE_DUMP_WRITER_H
#define KVSTORE_DUMP_WRITER_H

#include "kvstore.h"
#include "output_file.h"

#include <sys/stat.h>

namespace kvstore {

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
