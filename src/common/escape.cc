// Escaping of bytes that someone else chose, for lines of text, log lines and JSON strings.

#include "common/escape.h"

#include <cstring>

namespace {

constexpr unsigned char first_printable = 0x20;
constexpr unsigned char first_unsafe_high = 0x7f;
constexpr unsigned nibble_bits = 4;
constexpr unsigned nibble_mask = 0xf;
constexpr char hex_digits[] = "0123456789abcdef";
constexpr const char cut_mark[] = "...";
constexpr size_t cut_mark_length = sizeof cut_mark - 1;

bool is_printable(unsigned char byte) {
    return byte >= first_printable && byte < first_unsafe_high;
}

}  // namespace

size_t escape_byte(unsigned char byte, char *out) {
    if (is_printable(byte) && byte != '\\' && byte != '"') {
        out[0] = static_cast<char>(byte);
        out[1] = '\0';
        return 1;
    }
    out[0] = '\\';
    out[1] = 'x';
    out[2] = hex_digits[byte >> nibble_bits];
    out[3] = hex_digits[byte & nibble_mask];
    out[4] = '\0';
    return 4;
}

const char *escape_text(const char *text, char *out, size_t size) {
    if (size == 0) {
        return out;
    }
    size_t used = 0;
    size_t kept = 0;  // where the mark goes if the text is cut
    for (const char *c = text; *c != '\0'; ++c) {
        char piece[escaped_byte_size];
        size_t need = escape_byte(static_cast<unsigned char>(*c), piece);
        if (used + need >= size) {
            if (size > cut_mark_length) {
                memcpy(out + kept, cut_mark, cut_mark_length);
                used = kept + cut_mark_length;
            }
            break;
        }
        memcpy(out + used, piece, need);
        used += need;
        if (used + cut_mark_length < size) {
            kept = used;
        }
    }
    out[used] = '\0';
    return out;
}

bool has_control_byte(const char *text) {
    for (const char *c = text; *c != '\0'; ++c) {
        auto byte = static_cast<unsigned char>(*c);
        if (byte < first_printable || byte == first_unsafe_high) {
            return true;
        }
    }
    return false;
}

size_t json_escape_byte(unsigned char byte, char *out) {
    if (byte == '"' || byte == '\\') {
        out[0] = '\\';
        out[1] = static_cast<char>(byte);
        out[2] = '\0';
        return 2;
    }
    if (is_printable(byte)) {
        out[0] = static_cast<char>(byte);
        out[1] = '\0';
        return 1;
    }
    memcpy(out, "\\u00", 4);
    out[4] = hex_digits[byte >> nibble_bits];
    out[5] = hex_digits[byte & nibble_mask];
    out[6] = '\0';
    return 6;
}
