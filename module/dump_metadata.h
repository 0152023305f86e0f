// What an ASCII dump records about the database file it was made from:
// the owner, by name and by number, and the mode. The writer records them
// (owner_names); a load takes them from the header's pairs and gives them
// to the new file.
#ifndef KVSTORE_DUMP_METADATA_H
#define KVSTORE_DUMP_METADATA_H

#include "kvstore.h"

#include <string_view>
#include <sys/stat.h>

namespace kvstore {

struct FileMetadata {
    bool has_mode = false;
    bool has_uid = false;
    bool has_gid = false;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    char user[256] = "";
    char group[256] = "";

    // One "name=value" pair of the header. False for a mode, uid or gid
    // that is no number in range; any other name, or a user or group name
    // too long to be one, is left unused.
    bool take(std::string_view name, std::string_view value);
    // Gives the database file open on `fd` (named `db_name` in errors) this
    // owner, as root only, and this mode; false with `error` set.
    bool apply(module_state *state, int fd, const char *db_name) const;
};

// The names of the owner and group of the file whose status is `status`,
// empty where the system has none. False with MemoryError set.
bool owner_names(const struct stat &status, char (&user)[256], char (&group)[256]);

}  // namespace kvstore

#endif
