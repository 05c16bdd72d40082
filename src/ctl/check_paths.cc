// What a command path says beyond the file it names: whether it is written in plain form (the
// rules file matches the path as the command file spells it), and whether it names a shell or
// another general-purpose interpreter, which takes its arguments as code.

#include <cstring>

#include "ctl/ctl.h"

namespace {

// An interpreter's name is one of these, alone or followed by a version of digits and dots:
// python3, python3.11, perl5.36.0, lua5.4, tclsh8.6, ksh93.
constexpr const char *interpreter_families[] = {
    "sh",   "ash",    "bash",  "rbash",   "dash",   "zsh",   "ksh",     "mksh",   "lksh", "pdksh",
    "oksh", "yash",   "posh",  "fish",    "csh",    "tcsh",  "busybox", "toybox", "env",  "python",
    "pypy", "perl",   "ruby",  "jruby",   "irb",    "php",   "node",    "nodejs", "deno", "bun",
    "lua",  "luajit", "tclsh", "wish",    "expect", "guile", "awk",     "gawk",   "mawk", "nawk",
    "pwsh", "julia",  "R",     "Rscript", "elixir", "erl",   "gdb",
};
constexpr const char version_characters[] = "0123456789.";

const char *base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// A fault of one component, as the message names it; `last` for the final component.
const char *component_fault(const char *start, size_t length, bool last) {
    if (length == 0) {
        return last ? "ends in \"/\"" : "holds \"//\"";
    }
    if (length == 1 && start[0] == '.') {
        return last ? "ends in \"/.\"" : "holds \"/./\"";
    }
    if (length == 2 && start[0] == '.' && start[1] == '.') {
        return last ? "ends in \"/..\"" : "holds \"/../\"";
    }
    return nullptr;
}

}  // namespace

const char *path_form_fault(const char *path) {
    if (path[0] != '/' || path[1] == '\0') {
        return nullptr;
    }
    const char *start = path + 1;
    for (;;) {
        const char *slash = strchr(start, '/');
        size_t length = slash != nullptr ? static_cast<size_t>(slash - start) : strlen(start);
        const char *fault = component_fault(start, length, slash == nullptr);
        if (fault != nullptr || slash == nullptr) {
            return fault;
        }
        start = slash + 1;
    }
}

bool is_interpreter_name(const char *name) {
    for (const char *family : interpreter_families) {
        size_t length = strlen(family);
        if (strncmp(name, family, length) == 0 &&
            strspn(name + length, version_characters) == strlen(name + length)) {
            return true;
        }
    }
    return false;
}

const char *find_interpreter(const char *spelled, const char *resolved, bool *through_link) {
    *through_link = false;
    if (is_interpreter_name(base_name(spelled))) {
        return base_name(spelled);
    }
    if (resolved != nullptr && is_interpreter_name(base_name(resolved))) {
        *through_link = true;
        return base_name(resolved);
    }
    return nullptr;
}
