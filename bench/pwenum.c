/* A bare enumeration of the password database, the yardstick of the shared-uid search.
 *
 *   pwenum UID [MAX_ENTRIES]
 *
 * Walks the entries with getpwent_r and a 16384-byte buffer, as the search does, up to the
 * first entry with the given uid, where a search whose token matches stops too; or at most
 * MAX_ENTRIES entries (with 1, only the set-up and the first entry: the fixed part of an
 * enumeration). Stopping at the entry also keeps the enumeration from going on into the
 * next database of nsswitch.conf, which the search never reaches either. Exit status 0 when
 * an entry with the uid was found, 1 otherwise, so that a database without the account is
 * not timed as a fast enumeration.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>

enum { passwd_buffer_size = 16384 };

static unsigned long parse_number(const char *text) {
    char *end = NULL;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') {
        fprintf(stderr, "pwenum: bad number '%s'\n", text);
        exit(2);
    }
    return value;
}

int main(int argc, char **argv) {
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: pwenum UID [MAX_ENTRIES]\n");
        return 2;
    }
    unsigned long uid = parse_number(argv[1]);
    unsigned long limit = argc == 3 ? parse_number(argv[2]) : (unsigned long)-1;
    struct passwd entry;
    char buffer[passwd_buffer_size];
    struct passwd *found = NULL;
    for (unsigned long seen = 0;
         seen < limit && getpwent_r(&entry, buffer, sizeof buffer, &found) == 0 && found != NULL;
         seen++) {
        if (found->pw_uid == (uid_t)uid) {
            return 0;
        }
    }
    return 1;
}
