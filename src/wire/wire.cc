// Encoding and decoding of the client's and the front-end's messages.

#include "wire/wire.h"

#include <cstring>

namespace {

constexpr unsigned char request_magic[4] = {'V', 'X', 'Q', '2'};
constexpr unsigned char signal_magic[4] = {'V', 'X', 'S', '1'};
constexpr unsigned char stopped_magic[4] = {'V', 'X', 'P', '1'};
constexpr unsigned char reply_magic[4] = {'V', 'X', 'A', '2'};
constexpr unsigned char list_magic[4] = {'V', 'X', 'L', '1'};
constexpr unsigned char text_magic[4] = {'V', 'X', 'T', '1'};
constexpr size_t magic_size = 4;
constexpr size_t fixed_field_count = 5;

// A cursor over bytes being written; `failed` once anything did not fit.
struct writer_t {
    unsigned char *out;
    size_t size;
    size_t used;
    bool failed;
};

void put_bytes(writer_t *w, const void *bytes, size_t count) {
    if (w->failed || count > w->size - w->used) {
        w->failed = true;
        return;
    }
    memcpy(w->out + w->used, bytes, count);
    w->used += count;
}

void put_u16(writer_t *w, size_t value) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(value & 0xffU),
                                    static_cast<unsigned char>((value >> 8U) & 0xffU)};
    put_bytes(w, bytes, sizeof bytes);
}

void put_u32(writer_t *w, size_t value) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(value & 0xffU),
                                    static_cast<unsigned char>((value >> 8U) & 0xffU),
                                    static_cast<unsigned char>((value >> 16U) & 0xffU),
                                    static_cast<unsigned char>((value >> 24U) & 0xffU)};
    put_bytes(w, bytes, sizeof bytes);
}

// A text with a 16-bit length, or with a 32-bit one (`wide`, the arguments).
void put_text(writer_t *w, const char *text, size_t limit, bool wide = false) {
    size_t length = strlen(text);
    if (length > limit) {
        w->failed = true;
        return;
    }
    if (wide) {
        put_u32(w, length);
    } else {
        put_u16(w, length);
    }
    put_bytes(w, text, length);
}

// A cursor over received bytes; texts are copied NUL-terminated into the request's storage.
struct reader_t {
    const unsigned char *data;
    size_t size;
    size_t used;
    char *storage;
    size_t stored;
};

bool get_u16(reader_t *r, size_t *value) {
    if (r->size - r->used < 2) {
        return false;
    }
    *value =
        static_cast<size_t>(r->data[r->used]) | (static_cast<size_t>(r->data[r->used + 1]) << 8U);
    r->used += 2;
    return true;
}

bool get_u32(reader_t *r, size_t *value) {
    if (r->size - r->used < 4) {
        return false;
    }
    *value = 0;
    for (size_t i = 0; i < 4; ++i) {
        *value |= static_cast<size_t>(r->data[r->used + i]) << (8U * i);
    }
    r->used += 4;
    return true;
}

wire_status get_text(reader_t *r, size_t limit, const char **text, bool wide = false) {
    size_t length = 0;
    bool have_length = wide ? get_u32(r, &length) : get_u16(r, &length);
    if (!have_length || length > r->size - r->used) {
        return wire_status::short_message;
    }
    if (length > limit) {
        return wire_status::too_long;
    }
    const unsigned char *bytes = r->data + r->used;
    if (memchr(bytes, 0, length) != nullptr) {
        return wire_status::nul_byte;
    }
    // Each text takes its length plus one NUL, and the texts' lengths with their length
    // prefixes never exceed the message, which is no larger than the storage.
    memcpy(r->storage + r->stored, bytes, length);
    r->storage[r->stored + length] = '\0';
    *text = r->storage + r->stored;
    r->stored += length + 1;
    r->used += length;
    return wire_status::ok;
}

bool has_magic(const unsigned char *data, size_t size, const unsigned char *magic) {
    return size >= magic_size && memcmp(data, magic, magic_size) == 0;
}

}  // namespace

size_t encode_request(const request_t *fields, unsigned char *out, size_t size) {
    if (fields->arg_count > arg_count_max || fields->env_count > env_entry_count_max ||
        size > request_size_max) {
        return 0;
    }
    size_t total = 0;
    for (size_t i = 0; i < fields->arg_count; ++i) {
        total += strlen(fields->args[i]);
    }
    if (total > args_total_max) {
        return 0;
    }
    writer_t w{};
    w.out = out;
    w.size = size;
    put_bytes(&w, request_magic, magic_size);
    put_u16(&w, fields->arg_count);
    put_text(&w, fields->name, name_length_max);
    put_text(&w, fields->cwd, cwd_length_max);
    put_text(&w, fields->alias, alias_length_max);
    put_text(&w, fields->token, token_length_max);
    put_text(&w, fields->term, term_length_max);
    put_u16(&w, fields->env_count);
    for (size_t i = 0; i < fields->env_count; ++i) {
        put_text(&w, fields->env[i], env_entry_length_max);
    }
    for (size_t i = 0; i < fields->arg_count; ++i) {
        put_text(&w, fields->args[i], arg_length_max, true);
    }
    return w.failed ? 0 : w.used;
}

wire_status decode_request(const unsigned char *data, size_t size, request_storage_t *storage,
                           request_t *out) {
    if (size > request_size_max) {
        return wire_status::too_long;
    }
    if (!has_magic(data, size, request_magic)) {
        return wire_status::bad_magic;
    }
    reader_t r{data, size, magic_size, storage->bytes, 0};
    out->env = storage->env;
    out->args = storage->args;
    if (!get_u16(&r, &out->arg_count)) {
        return wire_status::short_message;
    }
    if (out->arg_count > arg_count_max) {
        return wire_status::too_many;
    }
    const char **fixed[fixed_field_count] = {&out->name, &out->cwd, &out->alias, &out->token,
                                             &out->term};
    constexpr size_t limits[fixed_field_count] = {name_length_max, cwd_length_max, alias_length_max,
                                                  token_length_max, term_length_max};
    for (size_t i = 0; i < fixed_field_count; ++i) {
        wire_status status = get_text(&r, limits[i], fixed[i]);
        if (status != wire_status::ok) {
            return status;
        }
    }
    if (!get_u16(&r, &out->env_count)) {
        return wire_status::short_message;
    }
    if (out->env_count > env_entry_count_max) {
        return wire_status::too_many;
    }
    for (size_t i = 0; i < out->env_count; ++i) {
        wire_status status = get_text(&r, env_entry_length_max, &storage->env[i]);
        if (status != wire_status::ok) {
            return status;
        }
    }
    size_t total = 0;
    for (size_t i = 0; i < out->arg_count; ++i) {
        size_t before = r.used;
        wire_status status = get_text(&r, arg_length_max, &storage->args[i], true);
        if (status != wire_status::ok) {
            return status;
        }
        total += r.used - before - 4;
        if (total > args_total_max) {
            return wire_status::args_too_long;
        }
    }
    return r.used == size ? wire_status::ok : wire_status::trailing;
}

size_t encode_list_query(unsigned char flags, const char *name, const char *alias,
                         unsigned char *out, size_t size) {
    writer_t w{};
    w.out = out;
    w.size = size;
    put_bytes(&w, list_magic, magic_size);
    put_bytes(&w, &flags, 1);
    put_text(&w, name, name_length_max);
    put_text(&w, alias, alias_length_max);
    return w.failed ? 0 : w.used;
}

bool is_list_query(const unsigned char *data, size_t size) {
    return has_magic(data, size, list_magic);
}

wire_status decode_list_query(const unsigned char *data, size_t size, request_storage_t *storage,
                              request_t *out, unsigned char *flags) {
    if (!has_magic(data, size, list_magic)) {
        return wire_status::bad_magic;
    }
    if (size < magic_size + 1) {
        return wire_status::short_message;
    }
    *flags = data[magic_size];
    reader_t r{data, size, magic_size + 1, storage->bytes, 0};
    out->env = storage->env;
    out->args = storage->args;
    wire_status status = get_text(&r, name_length_max, &out->name);
    status = status != wire_status::ok ? status : get_text(&r, alias_length_max, &out->alias);
    if (status != wire_status::ok) {
        return status;
    }
    storage->bytes[r.stored] = '\0';
    out->cwd = out->token = out->term = storage->bytes + r.stored;
    out->env_count = 0;
    out->arg_count = 0;
    return r.used == size ? wire_status::ok : wire_status::trailing;
}

size_t encode_text_part(const char *text, size_t length, unsigned char *out, size_t size) {
    if (length > text_part_max || size < magic_size + length) {
        return 0;
    }
    memcpy(out, text_magic, magic_size);
    memcpy(out + magic_size, text, length);
    return magic_size + length;
}

int decode_text_part(const unsigned char *data, size_t size, const unsigned char **text,
                     size_t *length) {
    if (!has_magic(data, size, text_magic) || size > text_message_max) {
        return -1;
    }
    *text = data + magic_size;
    *length = size - magic_size;
    return 0;
}

const char *wire_status_text(wire_status status) {
    // In the order of the enumeration.
    static constexpr const char *texts[] = {"well-formed",
                                            "not a request",
                                            "request cut short",
                                            "request field too long",
                                            "too many arguments",
                                            "arguments too long in all",
                                            "NUL byte in a request field",
                                            "bytes after the request"};
    auto index = static_cast<size_t>(status);
    return index < sizeof texts / sizeof texts[0] ? texts[index] : "malformed request";
}

void encode_signal(int signal_number, unsigned char *out) {
    memcpy(out, signal_magic, magic_size);
    out[magic_size] = static_cast<unsigned char>(signal_number & 0xff);
}

int decode_signal(const unsigned char *data, size_t size) {
    if (size != signal_message_size || !has_magic(data, size, signal_magic)) {
        return 0;
    }
    return data[magic_size];
}

void encode_stopped(unsigned char *out) {
    memcpy(out, stopped_magic, magic_size);
}

bool is_stopped_message(const unsigned char *data, size_t size) {
    return size == stopped_message_size && has_magic(data, size, stopped_magic);
}

namespace {

void put_i32(writer_t *w, int32_t value) {
    const auto bits = static_cast<uint32_t>(value);
    const unsigned char bytes[4] = {static_cast<unsigned char>(bits & 0xffU),
                                    static_cast<unsigned char>((bits >> 8U) & 0xffU),
                                    static_cast<unsigned char>((bits >> 16U) & 0xffU),
                                    static_cast<unsigned char>((bits >> 24U) & 0xffU)};
    put_bytes(w, bytes, sizeof bytes);
}

int32_t get_i32(const unsigned char *data) {
    uint32_t bits = 0;
    for (size_t i = 0; i < 4; ++i) {
        bits |= static_cast<uint32_t>(data[i]) << (8U * i);
    }
    return static_cast<int32_t>(bits);
}

}  // namespace

size_t encode_reply(const reply_t *reply, unsigned char *out, size_t size) {
    writer_t w{};
    w.out = out;
    w.size = size;
    put_bytes(&w, reply_magic, magic_size);
    const unsigned char kind_byte = static_cast<unsigned char>(reply->kind);
    put_bytes(&w, &kind_byte, 1);
    put_i32(&w, reply->value);
    const unsigned char end_byte = static_cast<unsigned char>(reply->end);
    put_bytes(&w, &end_byte, 1);
    put_i32(&w, reply->number);
    size_t length = strnlen(reply->text, reply_text_max);
    put_u16(&w, length);
    put_bytes(&w, reply->text, length);
    return w.failed ? 0 : w.used;
}

int decode_reply(const unsigned char *data, size_t size, reply_t *out) {
    constexpr size_t header = magic_size + 1 + 4 + 1 + 4 + 2;
    if (size < header || !has_magic(data, size, reply_magic) ||
        data[magic_size] > static_cast<unsigned char>(reply_kind::refused) ||
        data[magic_size + 5] >= static_cast<unsigned char>(end_kind::count)) {
        return -1;
    }
    out->kind = static_cast<reply_kind>(data[magic_size]);
    out->value = get_i32(data + magic_size + 1);
    out->end = static_cast<end_kind>(data[magic_size + 5]);
    out->number = get_i32(data + magic_size + 6);
    size_t length =
        static_cast<size_t>(data[header - 2]) | (static_cast<size_t>(data[header - 1]) << 8U);
    if (length > reply_text_max || length != size - header ||
        memchr(data + header, '\0', length) != nullptr) {
        return -1;
    }
    memcpy(out->text, data + header, length);
    out->text[length] = '\0';
    return 0;
}
