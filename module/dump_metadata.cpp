// A dump's record of its database file's owner and mode (dump_metadata.h).
#include "dump_metadata.h"

#include "dump_format.h"
#include "errors.h"
#include "growing.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace kvstore {

namespace {

// Runs a reentrant user or group database lookup, `lookup(buffer, size)`,
// with a buffer that grows while the lookup finds it too small. False with
// MemoryError set.
template <class Lookup>
bool look_up(Lookup lookup)
{
    Growing<char> scratch;
    int failed = ERANGE;
    for (size_t size = 4096; failed == ERANGE && size <= (size_t{1} << 20); size *= 2) {
        if (!scratch.reserve_more(size)) {
            return false;
        }
        failed = lookup(scratch.data(), size);
    }
    return true;
}

bool copy_short_name(std::string_view value, char (&to)[256])
{
    if (value.size() >= sizeof to || value.find('\0') != std::string_view::npos) {
        return false;
    }
    std::memcpy(to, value.data(), value.size());
    to[value.size()] = '\0';
    return true;
}

}  // namespace

bool FileMetadata::take(std::string_view name, std::string_view value)
{
    using dump_format::parse_number;
    unsigned long long n = 0;
    // (uid_t)-1 and (gid_t)-1 mean "unchanged" to fchown().
    constexpr unsigned long long most_id = 0xfffffffeULL;
    if (name == "mode") {
        has_mode = parse_number(value, 8, 07777, &n);
        mode = static_cast<mode_t>(n);
        return has_mode;
    }
    if (name == "uid") {
        has_uid = parse_number(value, 10, most_id, &n);
        uid = static_cast<uid_t>(n);
        return has_uid;
    }
    if (name == "gid") {
        has_gid = parse_number(value, 10, most_id, &n);
        gid = static_cast<gid_t>(n);
        return has_gid;
    }
    if (name == "user") {
        copy_short_name(value, user);
    }
    else if (name == "group") {
        copy_short_name(value, group);
    }
    return true;
}

bool FileMetadata::apply(module_state *state, int fd, const char *db_name) const
{
    // As gdbm's tools do: the owner by name where the name is known here,
    // else by number; only as root.
    uid_t owner = has_uid ? uid : static_cast<uid_t>(-1);
    gid_t owner_group = has_gid ? gid : static_cast<gid_t>(-1);
    bool found = look_up([&](char *buffer, size_t size) {
                     passwd entry;
                     passwd *named = nullptr;
                     int failed = *user ? getpwnam_r(user, &entry, buffer, size, &named) : 0;
                     if (failed == 0 && named != nullptr) {
                         owner = named->pw_uid;
                     }
                     return failed;
                 }) &&
                 look_up([&](char *buffer, size_t size) {
                     struct group entry;
                     struct group *named = nullptr;
                     int failed = *group ? getgrnam_r(group, &entry, buffer, size, &named) : 0;
                     if (failed == 0 && named != nullptr) {
                         owner_group = named->gr_gid;
                     }
                     return failed;
                 });
    if (!found) {
        return false;
    }
    bool changes_owner = geteuid() == 0 && (owner != static_cast<uid_t>(-1) ||
                                            owner_group != static_cast<gid_t>(-1));
    if ((changes_owner && fchown(fd, owner, owner_group) != 0) ||
        (has_mode && fchmod(fd, mode & 0777) != 0)) {
        raise_failure(state, errno_first("cannot apply the dump's owner and mode", db_name));
        return false;
    }
    return true;
}

bool owner_names(const struct stat &status, char (&user)[256], char (&group)[256])
{
    user[0] = group[0] = '\0';
    return look_up([&](char *buffer, size_t size) {
               passwd entry;
               passwd *found = nullptr;
               int failed = getpwuid_r(status.st_uid, &entry, buffer, size, &found);
               if (failed == 0 && found != nullptr) {
                   copy_short_name(found->pw_name, user);
               }
               return failed;
           }) &&
           look_up([&](char *buffer, size_t size) {
               struct group entry;
               struct group *found = nullptr;
               int failed = getgrgid_r(status.st_gid, &entry, buffer, size, &found);
               if (failed == 0 && found != nullptr) {
                   copy_short_name(found->gr_name, group);
               }
               return failed;
           });
}

}  // namespace kvstore
