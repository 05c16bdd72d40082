// The decimal option values of the way in's programs.
#pragma once

#include <cstdlib>

// The value of `text` when it is a whole decimal number from `low` to `high`, else -1.
inline long option_value(const char *text, long low, long high) {
    constexpr int decimal = 10;
    char *end = nullptr;
    long value = strtol(text, &end, decimal);
    return end != text && *end == '\0' && value >= low && value <= high ? value : -1;
}
