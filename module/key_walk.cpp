// KeyWalk: the library's traversal, checked against the library's count.
#include "key_walk.h"

namespace kvstore {

namespace {

LibDatum ended(database_object &db, const char *call, bool *failed)
{
    *failed = raise_unless_miss(db.state, call);
    return LibDatum(datum{nullptr, 0});
}

}  // namespace

LibDatum first_key_of(database_object &db, bool *failed)
{
    LibDatum key(gdbm_firstkey(db.handle));
    *failed = false;
    return key ? std::move(key) : ended(db, "gdbm_firstkey() error", failed);
}

LibDatum key_after(database_object &db, datum previous, bool *failed)
{
    LibDatum key(gdbm_nextkey(db.handle, previous));
    *failed = false;
    return key ? std::move(key) : ended(db, "gdbm_nextkey() error", failed);
}

bool KeyWalk::next(database_object &db)
{
    bool failed;
    key_ = started_ ? key_after(db, at_, &failed) : first_key_of(db, &failed);
    at_ = key_.view();
    started_ = true;
    if (!key_) {
        finished_ = !failed && reached_count(db);
        return false;
    }
    if (seen_ == limit_ && !within_count(db)) {
        key_ = LibDatum(datum{nullptr, 0});
        at_ = key_.view();
        return false;
    }
    ++seen_;
    return true;
}

bool KeyWalk::count(database_object &db)
{
    Py_ssize_t records = library_count(db);
    if (records < 0) {
        return false;
    }
    limit_ = records;
    counted_ = true;
    return true;
}

// A key beyond the limit: past the count, the traversal is going round.
bool KeyWalk::within_count(database_object &db)
{
    if (!counted_) {
        if (!count(db)) {
            return false;
        }
        if (seen_ < limit_) {
            return true;
        }
    }
    raise_error(db.state, endless_traversal_message);
    return false;
}

bool KeyWalk::reached_count(database_object &db)
{
    if (!counted_ && !count(db)) {
        return false;
    }
    if (seen_ == limit_) {
        return true;
    }
    raise_error(db.state, "the key traversal found %zd of the %zd records: the database file is damaged",
                seen_, limit_);
    return false;
}

}  // namespace kvstore
