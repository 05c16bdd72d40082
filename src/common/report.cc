#include "common/report.h"

#include <cstring>

namespace {

constexpr unsigned char record_magic[4] = {'V', 'X', 'R', '1'};
constexpr size_t magic_size = sizeof record_magic;
constexpr size_t number_size = 4;
constexpr size_t length_size = 2;

constexpr const char *kind_names[] = {
    "?",          "announce",      "runs",       "refused",      "alias-unknown",
    "account",    "token-missing", "token-file", "token-wrong",  "blocked",
    "validator",  "container",     "identity",   "cwd",          "exec",
    "internal",   "crontab-check", "descriptor", "busy",         "overloaded",
    "no-request", "malformed",     "not-yours",  "control-byte", "frontend-failed",
    "killed",     "stalled"};
static_assert(sizeof kind_names / sizeof kind_names[0] == static_cast<size_t>(end_kind::count));

size_t put_text(unsigned char *out, const char *text, size_t limit) {
    size_t length = text != nullptr ? strnlen(text, limit) : 0;
    out[0] = static_cast<unsigned char>(length & 0xffU);
    out[1] = static_cast<unsigned char>((length >> 8U) & 0xffU);
    if (length > 0) {
        memcpy(out + length_size, text, length);
    }
    return length_size + length;
}

// One text at `*at`: its length within `limit` and the bytes left, no NUL inside.
bool get_text(const unsigned char *data, size_t size, size_t *at, size_t limit, char *out) {
    if (size - *at < length_size) {
        return false;
    }
    size_t length = static_cast<size_t>(data[*at]) | (static_cast<size_t>(data[*at + 1]) << 8U);
    *at += length_size;
    if (length > limit || length > size - *at || memchr(data + *at, '\0', length) != nullptr) {
        return false;
    }
    memcpy(out, data + *at, length);
    out[length] = '\0';
    *at += length;
    return true;
}

}  // namespace

const char *end_kind_name(end_kind kind) {
    auto index = static_cast<size_t>(kind);
    return index < static_cast<size_t>(end_kind::count) ? kind_names[index] : kind_names[0];
}

size_t encode_report_record(end_kind kind, int32_t number, const char *text, const char *detail,
                            unsigned char *out, size_t size) {
    if (size < report_record_max) {
        return 0;
    }
    memcpy(out, record_magic, magic_size);
    size_t at = magic_size;
    out[at++] = static_cast<unsigned char>(kind);
    auto bits = static_cast<uint32_t>(number);
    for (size_t i = 0; i < number_size; ++i) {
        out[at++] = static_cast<unsigned char>((bits >> (8U * i)) & 0xffU);
    }
    at += put_text(out + at, text, report_text_max);
    at += put_text(out + at, detail, report_detail_max);
    return at;
}

int decode_report_record(const unsigned char *data, size_t size, report_record_t *out) {
    constexpr size_t header = magic_size + 1 + number_size;
    if (size < header || memcmp(data, record_magic, magic_size) != 0 || data[magic_size] == 0 ||
        data[magic_size] >= static_cast<unsigned char>(end_kind::count)) {
        return -1;
    }
    out->kind = static_cast<end_kind>(data[magic_size]);
    uint32_t bits = 0;
    for (size_t i = 0; i < number_size; ++i) {
        bits |= static_cast<uint32_t>(data[magic_size + 1 + i]) << (8U * i);
    }
    out->number = static_cast<int32_t>(bits);
    size_t at = header;
    if (!get_text(data, size, &at, report_text_max, out->text) ||
        !get_text(data, size, &at, report_detail_max, out->detail) || at != size) {
        return -1;
    }
    return 0;
}
