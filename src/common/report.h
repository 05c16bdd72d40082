// How a request ended, as the server tells its own front-end and as the front-end tells the
// client and the audit line: one enumeration and one table of names for both.
//
// The server's records ride on a SOCK_SEQPACKET socket whose number the front-end gives in
// VORNEX_REPORT_FD; one message per record:
//
//   "VXR1", kind (u8), number (i32), text (u16 length and bytes), detail (u16 and bytes)
//
// Every number is little-endian and no text holds a NUL byte. What the fields carry per kind:
//   announce       number: the server's pid; sent once at intake
//   runs           text: the command path; detail: the account it runs as
//   blocked        number: the fewest seconds left of the names tried
//   token-file     text: the token file's path; detail: what is wrong with it
//   account        detail: what is wrong (no such account, root, group 0, no home)
//   exec           text: the command path
//   every other    nothing
#pragma once

#include <cstddef>
#include <cstdint>

enum class end_kind : uint8_t {
    none = 0,
    // The server's records.
    announce,
    runs,
    refused,
    alias_unknown,
    account,
    token_missing,
    token_file,
    token_wrong,
    blocked,
    validator,
    container,
    identity,
    cwd,
    exec,
    internal,
    crontab_check,
    // The way in's own ends, decided before or around the server.
    descriptor,
    busy,
    overloaded,
    no_request,
    malformed,
    not_yours,
    control_byte,
    frontend_failed,
    killed,
    stalled,
    count
};

// The kind's name as logs and the audit line show it ("alias-unknown"); "?" for no kind.
const char *end_kind_name(end_kind kind);

constexpr const char report_fd_variable[] = "VORNEX_REPORT_FD";
constexpr size_t report_text_max = 4096;
constexpr size_t report_detail_max = 256;
constexpr size_t report_record_max = 4 + 1 + 4 + 2 + report_text_max + 2 + report_detail_max;

struct report_record_t {
    end_kind kind;
    int32_t number;
    char text[report_text_max + 1];
    char detail[report_detail_max + 1];
};

// The record in `out`; its size. Texts longer than their bound are cut; none is ever absent
// (a null text is sent empty).
size_t encode_report_record(end_kind kind, int32_t number, const char *text, const char *detail,
                            unsigned char *out, size_t size);
// 0 and the record in `out`, or -1 when the bytes are not exactly one record.
int decode_report_record(const unsigned char *data, size_t size, report_record_t *out);
