#include "ctl/ctl.h"

int run_explain(int argc, char **argv, bool json) {
    (void)argc;
    (void)argv;
    (void)json;
    return status_usage;
}
