// vornex -l, answered for the caller: the aliases in effect that the caller's name may request,
// whom each runs as and its command path; for one alias, the argument forms the rules admit.
//
// The command files are walked with the registry code the server runs (the first definition
// of an alias wins, a file that others can change is passed over), and with the shipped
// validator installed its rules decide which aliases the name may use, through the same rules
// code the validator runs. Hiding an alias is for the caller's convenience, not a secret: the
// command files stay world-readable. Every byte taken from a file is escaped before it is
// sent, and the caller's token is never read: only whether its token file is usable.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include "auth/auth_internal.h"
#include "common/json.h"
#include "driver/decide.h"
#include "frontend/frontend.h"
#include "registry/registry.h"
#include "registry/table.h"
#include "rules/rules.h"

namespace {

constexpr int send_timeout_seconds = 5;
// "/var/vornex/NN/" and "/.vornex/.vornex.token" around a name of at most 255 bytes.
constexpr size_t token_path_size = name_length_max + 64;

struct listing_t {
    frontend_t *fe;
    FILE *stream;  // unbuffered: every write goes to `out` at once
    bool as_json;
    json_writer_t json;
    const char *only;  // the alias asked about, or null for all of them
    bool rules;        // the shipped validator is installed: its rules decide
    size_t shown;
    size_t forms;
    char out[text_part_max];
    size_t used;
    bool failed;
};

void flush(listing_t *l) {
    if (l->used == 0 || l->failed) {
        return;
    }
    unsigned char message[text_message_max];
    size_t size = encode_text_part(l->out, l->used, message, sizeof message);
    l->failed = size == 0 || send(l->fe->connection, message, size, MSG_NOSIGNAL) < 0;
    l->used = 0;
}

// The stream's writer: the listing goes out in text parts as each one fills.
ssize_t put(void *cookie, const char *text, size_t length) {
    auto *l = static_cast<listing_t *>(cookie);
    size_t taken = length;
    while (length > 0) {
        size_t room = sizeof l->out - l->used;
        size_t part = length < room ? length : room;
        memcpy(l->out + l->used, text, part);
        l->used += part;
        text += part;
        length -= part;
        if (l->used == sizeof l->out) {
            flush(l);
        }
    }
    return static_cast<ssize_t>(taken);
}

// Bytes of a file in a line of text, with the one escaper, padded to `width` by their length.
void put_shown(listing_t *l, const char *text, int width) {
    for (const char *c = text; *c != '\0'; ++c) {
        char piece[escaped_byte_size];
        fwrite(piece, 1, escape_byte(static_cast<unsigned char>(*c), piece), l->stream);
    }
    int pad = width - static_cast<int>(strlen(text));
    if (width > 0) {
        fprintf(l->stream, "%*s", (pad > 0 ? pad : 0) + 1, "");
    }
}

// One argument form: the rule's words as the rules file spells them after unquoting, an
// exact word that holds a blank or is empty in single quotes, "..." for any further ones.
void put_form(const rules_line_t *rule, size_t line_number, void *context) {
    auto *l = static_cast<listing_t *>(context);
    ++l->forms;
    if (l->as_json) {
        json_begin(&l->json, nullptr, '[');
        for (size_t i = 0; i < rule->word_count; ++i) {
            json_string(&l->json, nullptr, rule->words[i].text);
        }
        if (rule->any_further) {
            json_string(&l->json, nullptr, "...");
        }
        json_end(&l->json, '[');
        return;
    }
    fprintf(l->stream, "  line %zu:", line_number);
    if (rule->word_count == 0 && !rule->any_further) {
        fputs(" (no arguments)", l->stream);
    }
    for (size_t i = 0; i < rule->word_count; ++i) {
        const char *word = rule->words[i].text;
        bool quote =
            !rule->words[i].pattern && (word[0] == '\0' || strpbrk(word, " \t") != nullptr);
        fputs(quote ? " '" : " ", l->stream);
        put_shown(l, word, 0);
        fputs(quote ? "'" : "", l->stream);
    }
    fputs(rule->any_further ? " ...\n" : "\n", l->stream);
}

// The argument forms of one alias.
void put_forms(listing_t *l, const char *command) {
    l->forms = 0;
    if (l->as_json && !l->rules) {
        json_null(&l->json, "forms");
        return;
    }
    if (l->as_json) {
        json_begin(&l->json, "forms", '[');
        rules_access(rules_path, l->fe->request.name, command, put_form, l);
        json_end(&l->json, '[');
        return;
    }
    if (!l->rules) {
        fputs("\nThe installed validator decides the arguments.\n", l->stream);
        return;
    }
    fputs("\nArguments the rules admit for you:\n", l->stream);
    rules_access(rules_path, l->fe->request.name, command, put_form, l);
    if (l->forms == 0) {
        fputs("  any (the command has no rule, and the default admits it)\n", l->stream);
    }
}

void put_entry(listing_t *l, const definition_t *definition) {
    identity_mode mode = decide_identity_mode(definition->root, definition->user);
    bool root = mode == identity_mode::root;
    const char *runs = root ? "root" : mode == identity_mode::command_user ? "account" : "you";
    const char *user = root ? nullptr : definition->user;
    if (l->as_json) {
        json_begin(&l->json, nullptr, '{');
        json_string(&l->json, "alias", definition->alias);
        json_string(&l->json, "runs_as", runs);
        json_string(&l->json, "account", user);
        json_string(&l->json, "command", definition->command);
    } else {
        put_shown(l, definition->alias, 24);
        if (user != nullptr) {
            fputs("account ", l->stream);
            put_shown(l, user, 16);
        } else {
            put_shown(l, runs, 24);
        }
        put_shown(l, definition->command, 0);
        fputs("\n", l->stream);
    }
    ++l->shown;
}

// One alias in effect: shown when the name may request it.
void consider(listing_t *l, const definition_t *definition) {
    if (l->only != nullptr && strcmp(l->only, definition->alias) != 0) {
        return;
    }
    if (!l->rules ||
        rules_access(rules_path, l->fe->request.name, definition->command, nullptr, nullptr)) {
        put_entry(l, definition);
        if (l->only != nullptr) {
            put_forms(l, definition->command);
        }
        if (l->as_json) {
            json_end(&l->json, '{');
        }
    }
}

// The command files as the lookup reads them, through the directory it judged: the first
// definition of an alias wins, a file that others can change is passed over.
void walk(listing_t *l) {
    int dir_fd = open_command_dir();
    alias_table_t table{};
    if (dir_fd >= 0 && load_alias_table_at(&table, dir_fd, command_dir) == 0) {
        for (size_t i = 0; i < table.definition_count; ++i) {
            if (definition_in_effect(&table.definitions[i])) {
                consider(l, &table.definitions[i]);
            }
        }
        release_alias_table(&table);
    }
    if (dir_fd >= 0) {
        close(dir_fd);
    }
}

// Whether the caller is set up: its token file is there and passes the server's rules. The
// token itself is not read.
bool is_set_up(const frontend_t *fe, char *why, size_t size) {
    char path[token_path_size];
    get_token_path(path, static_cast<int>(sizeof path), fe->peer.uid, fe->request.name);
    struct stat status {};
    int error = 0;
    const char *problem = "wrong owner or mode";
    switch (look_at_token_file(path, fe->peer.uid, &status, &error)) {
        case token_file_look::usable:
            return true;
        case token_file_look::missing:
        case token_file_look::unreadable:
            snprintf(why, size,
                     "not set up: the token file %s cannot be used (%s); ask the administrator",
                     path, strerror(error));
            return false;
        case token_file_look::not_regular:
            problem = "not a regular file";
            break;
        case token_file_look::wrong_owner:
        case token_file_look::wrong_mode:
            break;
    }
    snprintf(why, size, "not set up: the token file %s is unusable (%s); ask the administrator",
             path, problem);
    return false;
}

// The listing's end: a reply as for a request, status 0 or a refusal of `kind`.
[[noreturn]] void end_listing(frontend_t *fe, end_kind kind, const char *text) {
    bool ok = kind == end_kind::none;
    send_reply(fe, ok ? reply_kind::exited : reply_kind::refused, ok ? 0 : 1, kind, 0, text);
    closelog();
    _exit(0);
}

}  // namespace

void answer_list(frontend_t *fe, unsigned char flags) {
    char why[reply_text_max];
    char alias[escaped_size(alias_length_max)];
    escape_text(fe->request.alias, alias, sizeof alias);
    if (!is_set_up(fe, why, sizeof why)) {
        syslog(LOG_INFO, "uid=%u pid=%d list=\"%s\" outcome=refused:token-file", fe->peer.uid,
               static_cast<int>(fe->peer.pid), alias);
        end_listing(fe, end_kind::token_file, why);
    }
    struct timeval timeout {
        send_timeout_seconds, 0
    };
    setsockopt(fe->connection, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    auto *l = static_cast<listing_t *>(calloc(1, sizeof(listing_t)));
    if (l == nullptr) {
        fail(fe, "listing");
    }
    l->fe = fe;
    l->as_json = (flags & list_flag_json) != 0;
    l->only = fe->request.alias[0] != '\0' ? fe->request.alias : nullptr;
    l->rules = shipped_validator_installed();
    l->stream = fopencookie(l, "w", cookie_io_functions_t{nullptr, put, nullptr, nullptr});
    if (l->stream == nullptr) {
        fail(fe, "listing");
    }
    setvbuf(l->stream, nullptr, _IONBF, 0);
    bool all = l->only == nullptr;
    l->json = json_document(l->stream, l->as_json && all);
    if (l->as_json && all) {
        json_string(&l->json, "validator", l->rules ? "rules" : "other");
        json_begin(&l->json, "aliases", '[');
    } else if (all) {
        fprintf(l->stream, "%-24s %-24s %s\n", "ALIAS", "RUNS AS", "COMMAND");
    }
    walk(l);
    if (l->as_json && all) {
        json_end(&l->json, '[');
        json_end(&l->json, '{');
    }
    if (l->as_json && (all || l->shown > 0)) {
        json_finish(&l->json);
    } else if (all && !l->rules) {
        fputs("The installed validator decides the arguments of every alias.\n", l->stream);
    }
    fclose(l->stream);
    flush(l);
    bool unknown = l->only != nullptr && l->shown == 0;
    bool failed = l->failed;
    size_t shown = l->shown;
    free(l);
    syslog(LOG_INFO, "uid=%u pid=%d list=\"%s\" shown=%zu outcome=%s", fe->peer.uid,
           static_cast<int>(fe->peer.pid), alias, shown,
           failed    ? "failed"
           : unknown ? "refused:alias-unknown"
                     : "exit:0");
    if (unknown) {
        snprintf(why, sizeof why, "no such alias %.300s among yours; vornex -l lists them", alias);
        end_listing(fe, end_kind::alias_unknown, why);
    }
    end_listing(fe, end_kind::none, "");
}
