/* Shared by the recording doubles of the platform libraries. */
#ifndef VORNEX_TESTS_DOUBLE_LOG_H
#define VORNEX_TESTS_DOUBLE_LOG_H

/* Appends `line` and a newline to the file named by VORNEX_DOUBLE_LOG (nothing when unset). */
void double_log_line(const char *line);

/* 1 when `function` is named in the comma list VORNEX_DOUBLE_FAIL, else 0. */
int double_should_fail(const char *function);

#endif
