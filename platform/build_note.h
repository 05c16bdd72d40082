/* A note of how a file was built, for the check of the installed files
 * (readelf -p .vornex.hardening): the fortification level that the C library's headers put
 * in effect for the file's sources, which no other trace in the file shows. */
#ifndef VORNEX_BUILD_NOTE_H
#define VORNEX_BUILD_NOTE_H

#include <features.h>

#define VORNEX_NOTE_TEXT(x) #x
#define VORNEX_NOTE_LEVEL(x) VORNEX_NOTE_TEXT(x)
#define VORNEX_BUILD_NOTE                                                                       \
    __attribute__((used, section(".vornex.hardening"))) static const char vornex_build_note[] = \
        "fortify " VORNEX_NOTE_LEVEL(__USE_FORTIFY_LEVEL)

#endif
