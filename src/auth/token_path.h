// Where a name's token file lies: what the user's client needs to read its own token, and the
// server and vornexctl to check it.
#pragma once

#include <cstddef>
#include <cstdint>

// The per-user directory's prefix: two decimal digits and a NUL.
constexpr size_t prefix_size = 3;
// The token file, inside the per-user directory "/var/vornex/<prefix>/<name>/".
constexpr const char token_file_name[] = ".vornex/.vornex.token";

void get_prefix(uint32_t uid, char *out);
void get_token_path(char *buffer, int size, uint32_t uid, const char *name);
