// vornex -l: the front-end answers for the caller's name, with the registry and rules code the
// server and the validator run; the client only passes the listing on to standard output.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client/client.h"
#include "wire/wire.h"

namespace {

// The listing is written as it comes; a short write to standard output ends the listing.
bool write_all(const unsigned char *bytes, size_t length) {
    while (length > 0) {
        ssize_t done = write(STDOUT_FILENO, bytes, length);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        bytes += done;
        length -= static_cast<size_t>(done);
    }
    return true;
}

}  // namespace

int list_aliases(int connection, const char *name, const char *alias, bool json) {
    unsigned char query[list_query_size_max];
    size_t size = encode_list_query(json ? list_flag_json : 0, name, alias != nullptr ? alias : "",
                                    query, sizeof query);
    if (size == 0) {
        fprintf(stderr, "vornex: the alias is too long: at most %zu bytes\n", alias_length_max);
        return status_usage;
    }
    if (send(connection, query, size, MSG_NOSIGNAL) < 0) {
        fprintf(stderr, "vornex: cannot send the list query: %s\n", strerror(errno));
        return status_unreachable;
    }
    for (;;) {
        unsigned char message[text_message_max];
        ssize_t got = recv(connection, message, sizeof message, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        const unsigned char *text = nullptr;
        size_t length = 0;
        reply_t reply{};
        if (got > 0 && decode_text_part(message, static_cast<size_t>(got), &text, &length) == 0) {
            if (!write_all(text, length)) {
                return status_refused;
            }
            continue;
        }
        if (got > 0 && decode_reply(message, static_cast<size_t>(got), &reply) == 0) {
            if (reply.kind == reply_kind::exited) {
                return reply.value;
            }
            fprintf(stderr, "vornex: %s\n", reply.text);
            return status_refused;
        }
        fprintf(stderr, "vornex: the front-end ended without finishing the listing\n");
        return status_unreachable;
    }
}
