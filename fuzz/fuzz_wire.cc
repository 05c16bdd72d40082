// Arbitrary bytes against the front-end's message decoder, as any local user can send them.
//
// Invariants: a request that decodes has every text within its bound and free of NUL bytes,
// no more arguments than allowed, and encodes back to exactly the bytes received; the reply,
// signal and stopped decoders accept or refuse without reading past the input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wire/wire.h"

namespace {

void require(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

void check_request(const uint8_t *data, size_t size, const request_t *r) {
    require(strlen(r->name) <= name_length_max, "name bound");
    require(strlen(r->cwd) <= cwd_length_max, "cwd bound");
    require(strlen(r->alias) <= alias_length_max, "alias bound");
    require(strlen(r->token) <= token_length_max, "token bound");
    require(strlen(r->term) <= term_length_max, "term bound");
    require(r->env_count <= env_entry_count_max, "environment count bound");
    for (size_t i = 0; i < r->env_count; ++i) {
        require(strlen(r->env[i]) <= env_entry_length_max, "environment entry bound");
    }
    require(r->arg_count <= arg_count_max, "argument count bound");
    for (size_t i = 0; i < r->arg_count; ++i) {
        require(strlen(r->args[i]) <= arg_length_max, "argument bound");
    }
    std::vector<unsigned char> again(request_size_max);
    size_t encoded = encode_request(r, again.data(), again.size());
    require(encoded == size && memcmp(again.data(), data, size) == 0, "round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static request_storage_t storage;
    request_t request{};
    if (decode_request(data, size, &storage, &request) == wire_status::ok) {
        check_request(data, size, &request);
    }
    unsigned char flags = 0;
    if (decode_list_query(data, size, &storage, &request, &flags) == wire_status::ok) {
        unsigned char again[list_query_size_max];
        size_t encoded = encode_list_query(flags, request.name, request.alias, again, sizeof again);
        require(encoded == size && memcmp(again, data, size) == 0, "list query round trip");
    }
    reply_t reply{};
    if (decode_reply(data, size, &reply) == 0) {
        require(strlen(reply.text) <= reply_text_max, "reply text bound");
    }
    int signal_number = decode_signal(data, size);
    require(signal_number >= 0 && signal_number <= 255, "signal number");
    if (is_stopped_message(data, size)) {
        unsigned char again[stopped_message_size];
        encode_stopped(again);
        require(size == sizeof again && memcmp(again, data, size) == 0, "stopped message");
    }
    return 0;
}
