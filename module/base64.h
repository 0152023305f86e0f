// Base64, as gdbm's ASCII dumps carry keys and values: the standard
// alphabet with '=' padding. The writer encodes a line at a time; the
// reader decodes text that comes in lines of any length, and refuses
// whatever a whole item's text cannot hold.
#ifndef KVSTORE_BASE64_H
#define KVSTORE_BASE64_H

#include <cstddef>
#include <string_view>

namespace kvstore::base64 {

// How many characters carry `size` bytes: four for every three or part.
constexpr size_t encoded_size(size_t size) noexcept { return 4 * (size / 3 + (size % 3 != 0)); }

// Writes the encoded_size(size) characters of `size` bytes at `to`;
// returns where they end.
char *encode(const unsigned char *bytes, size_t size, char *to) noexcept;

// Decodes exactly `size` bytes to `to`, from their encoded_size(size)
// characters fed in pieces.
class Decoder {
public:
    Decoder(char *to, size_t size) noexcept
        : to_(to), size_(size), expected_(encoded_size(size))
    {
    }

    size_t characters_left() const noexcept { return expected_ - seen_; }
    // Takes the next characters. False for more than are left, or at one
    // that cannot stand where it is: outside the alphabet, padding but in
    // the last two places, or a quantum whose bytes would pass `size`; the
    // decoder is spent then.
    bool feed(std::string_view text) noexcept;
    // Once no character is left: whether they made `size` bytes, as
    // padding that says fewer would not.
    bool complete() const noexcept { return written_ == size_; }

private:
    bool decode_quantum(char *to, size_t *written) const noexcept;

    char *to_;
    size_t size_;
    size_t expected_;
    size_t seen_ = 0;
    size_t written_ = 0;
    unsigned quantum_[4] = {};  // each character's value, 64 for '='
};

}  // namespace kvstore::base64

#endif
