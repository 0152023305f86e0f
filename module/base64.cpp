// Base64 for gdbm's ASCII dumps (base64.h).
#include "base64.h"

namespace kvstore::base64 {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned padding = 64;

struct Values {
    signed char of[256];
    constexpr Values() : of{}
    {
        for (int c = 0; c < 256; ++c) {
            of[c] = -1;
        }
        for (int i = 0; i < 64; ++i) {
            of[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
        }
    }
};
constexpr Values values;

}  // namespace

char *encode(const unsigned char *bytes, size_t size, char *to) noexcept
{
    for (size_t i = 0; i < size; i += 3) {
        unsigned bits = static_cast<unsigned>(bytes[i]) << 16;
        if (i + 1 < size) {
            bits |= static_cast<unsigned>(bytes[i + 1]) << 8;
        }
        if (i + 2 < size) {
            bits |= bytes[i + 2];
        }
        *to++ = alphabet[(bits >> 18) & 63];
        *to++ = alphabet[(bits >> 12) & 63];
        *to++ = i + 1 < size ? alphabet[(bits >> 6) & 63] : '=';
        *to++ = i + 2 < size ? alphabet[bits & 63] : '=';
    }
    return to;
}

bool Decoder::feed(std::string_view text) noexcept
{
    if (text.size() > characters_left()) {
        return false;
    }
    // In locals: the bytes written could alias the members.
    char *to = to_;
    size_t seen = seen_;
    size_t written = written_;
    const char *next = text.data();
    const char *end = next + text.size();
    // Any character, padding too, as the last quantum needs.
    auto take_character = [&](char c) {
        size_t place = seen++ % 4;
        bool last_quantum = seen > expected_ - 4;
        int value = values.of[static_cast<unsigned char>(c)];
        if (value < 0 && !(c == '=' && last_quantum && place >= 2)) {
            return false;
        }
        quantum_[place] = value < 0 ? padding : static_cast<unsigned>(value);
        return place != 3 || decode_quantum(to, &written);
    };
    // A quantum an earlier piece began.
    while (next < end && seen % 4 != 0) {
        if (!take_character(*next++)) {
            return false;
        }
    }
    // Whole quanta before the last: four characters of the alphabet, three
    // bytes, which `size` has room for.
    for (; end - next >= 4 && seen + 4 < expected_; next += 4, seen += 4, written += 3) {
        const auto *q = reinterpret_cast<const unsigned char *>(next);
        int a = values.of[q[0]], b = values.of[q[1]], c = values.of[q[2]], d = values.of[q[3]];
        if ((a | b | c | d) < 0) {
            return false;
        }
        unsigned bits = (unsigned(a) << 18) | (unsigned(b) << 12) | (unsigned(c) << 6) | unsigned(d);
        to[written] = static_cast<char>(bits >> 16);
        to[written + 1] = static_cast<char>(bits >> 8);
        to[written + 2] = static_cast<char>(bits);
    }
    // The last quantum, or the start of one the next piece ends.
    while (next < end) {
        if (!take_character(*next++)) {
            return false;
        }
    }
    seen_ = seen;
    written_ = written;
    return true;
}

// Up to three bytes, as many as the padding leaves.
bool Decoder::decode_quantum(char *to, size_t *written) const noexcept
{
    const unsigned(&q)[4] = quantum_;
    if (q[2] == padding && q[3] != padding) {
        return false;
    }
    size_t count = q[2] == padding ? 1 : q[3] == padding ? 2 : 3;
    if (count > size_ - *written) {
        return false;
    }
    unsigned bits = (q[0] << 18) | (q[1] << 12) | ((q[2] & 63) << 6) | (q[3] & 63);
    for (size_t i = 0; i < count; ++i) {
        to[(*written)++] = static_cast<char>((bits >> (16 - 8 * i)) & 0xff);
    }
    return true;
}

}  // namespace kvstore::base64
