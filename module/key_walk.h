// The one walk over a database's keys in the library's order, which every
// traversal in the module goes through: dump, compact and load, keys(),
// clear(), and the package's walks, one key per step.
//
// A damaged bucket directory can send the library's traversal round in a
// circle, or end it before it has reached every record. Every walk is held
// to the library's count both ways and raises `error` when it goes past it
// or ends short of it: a caller never mistakes part of a damaged file for
// the whole.
#ifndef KVSTORE_KEY_WALK_H
#define KVSTORE_KEY_WALK_H

#include "database.h"

namespace kvstore {

inline constexpr char endless_traversal_message[] =
    "the key traversal does not end: the database file is damaged";

// One step of the library's traversal on its own: the first key, or the
// key after `previous`. A false LibDatum when there is none; `*failed` then
// says whether the library failed instead, with `error` set.
LibDatum first_key_of(database_object &db, bool *failed);
LibDatum key_after(database_object &db, datum previous, bool *failed);

class KeyWalk {
public:
    // A walk over `records` records, the library's count. Without it, the
    // walk counts once it has yielded a thousand keys, or at its end: a
    // short walk whose caller stops early never pays for the count.
    explicit KeyWalk(Py_ssize_t records) noexcept
        : limit_(records < 0 ? uncounted_steps : records), counted_(records >= 0)
    {
    }
    KeyWalk() noexcept : KeyWalk(-1) {}

    // Advances to the next key: true with key() set; false at the end, or
    // with `error` set when the library failed or the walk broke the count.
    bool next(database_object &db);
    // After next() returned false: whether the walk ended cleanly, having
    // yielded exactly the records counted.
    bool finished() const noexcept { return finished_; }
    const LibDatum &key() const noexcept { return key_; }
    // Hands the key to the caller, who keeps it at least until the next
    // step, which starts from it.
    LibDatum take_key() noexcept { return std::move(key_); }
    Py_ssize_t seen() const noexcept { return seen_; }

private:
    static constexpr Py_ssize_t uncounted_steps = 1024;

    bool count(database_object &db);
    bool within_count(database_object &db);
    bool reached_count(database_object &db);

    LibDatum key_{datum{nullptr, 0}};
    datum at_{nullptr, 0};  // the last key yielded, whoever owns it now
    Py_ssize_t seen_ = 0;
    Py_ssize_t limit_;
    bool counted_;
    bool started_ = false;
    bool finished_ = false;
};

}  // namespace kvstore

#endif
