// The decimal option values of the way in's programs.
#pragma once

#include <cstdlib>
#include <cstring>

// The value of `text` when it is a whole decimal number from `low` to `high`, else -1.
inline long option_value(const char *text, long low, long high) {
    constexpr int decimal = 10;
    char *end = nullptr;
    long value = strtol(text, &end, decimal);
    return end != text && *end == '\0' && value >= low && value <= high ? value : -1;
}

// Whether argv[*i] is the option `name` with a value after it; then *i is moved onto the value
// and `*value` is the value (or -1 when it is not a number from `low` to `high`).
inline bool take_option(int argc, char **argv, int *i, const char *name, long low, long high,
                        long *value) {
    if (strcmp(argv[*i], name) != 0 || *i + 1 >= argc) {
        return false;
    }
    *i += 1;
    *value = option_value(argv[*i], low, high);
    return true;
}
