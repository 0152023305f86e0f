// Reading a dump file (dump_reader.h): its first byte chooses the grammar,
// and where the grammar stopped becomes the exception here, and only here.
#include "dump_reader.h"

#include "dump_grammars.h"
#include "errors.h"

#include <cerrno>

namespace kvstore {

namespace {

DumpStop read_dump(DumpReading &reading)
{
    DumpSource &in = reading.in;
    int first;
    if (!in.start() || !in.peek(&first)) {
        return in.failure();
    }
    if (first == '!') {
        return read_binary_dump(reading);
    }
    if (first == '#') {
        return read_ascii_dump(reading);
    }
    // The first line, or an empty file, is no dump's.
    return DumpStop::malformed_line(1);
}

// False with the exception set unless the dump was read whole.
bool raise_unless_complete(module_state *state, const char *name, const DumpStop &stop)
{
    switch (stop.reason) {
    case DumpStop::Reason::complete:
        return true;
    case DumpStop::Reason::malformed_line:
        raise_error(state, "%s: %s, line %llu", gdbm_strerror(GDBM_MALFORMED_DATA), name,
                    stop.at);
        return false;
    case DumpStop::Reason::malformed_byte:
        raise_error(state, "%s: %s, byte %llu", gdbm_strerror(GDBM_MALFORMED_DATA), name,
                    stop.at);
        return false;
    case DumpStop::Reason::read_failed:
        errno = stop.error_number;
        raise_failure(state, errno_first("dump file read error", name));
        return false;
    case DumpStop::Reason::raised:
        break;
    }
    return false;
}

}  // namespace

bool read_dump_file(module_state *state, const char *name, int fd, Steps &steps, DumpContents &out)
{
    DumpSource in(fd);
    DumpReading reading{in, out, steps};
    return raise_unless_complete(state, name, read_dump(reading));
}

}  // namespace kvstore
