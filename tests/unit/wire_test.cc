#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "wire/wire.h"

namespace {

std::string text(const std::string &bytes) {
    size_t n = bytes.size();
    return std::string{static_cast<char>(n & 0xff), static_cast<char>(n >> 8)} + bytes;
}

std::string wide_text(const std::string &bytes) {
    size_t n = bytes.size();
    return std::string{static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                       static_cast<char>((n >> 16) & 0xff), static_cast<char>(n >> 24)} +
           bytes;
}

// The five fixed fields, the environment entries, then the rest of `fields` as arguments.
std::string request(const std::vector<std::string> &fields, size_t count,
                    const std::vector<std::string> &env = {}) {
    std::string out = "VXQ2";
    out += std::string{static_cast<char>(count & 0xff), static_cast<char>(count >> 8)};
    for (size_t i = 0; i < fields.size() && i < 5; ++i) {
        out += text(fields[i]);
    }
    out += std::string{static_cast<char>(env.size()), '\0'};
    for (const std::string &entry : env) {
        out += text(entry);
    }
    for (size_t i = 5; i < fields.size(); ++i) {
        out += wide_text(fields[i]);
    }
    return out;
}

const std::vector<std::string> good = {"site1", "/home/site1", "whoami", "secret", "xterm"};

struct decode_case {
    const char *what;
    std::string bytes;
    wire_status expected;
};

class DecodeRequestTest : public testing::TestWithParam<decode_case> {};

TEST_P(DecodeRequestTest, RefusesEveryMalformedRequest) {
    auto storage = std::make_unique<request_storage_t>();
    request_t r{};
    const std::string &bytes = GetParam().bytes;
    EXPECT_EQ(decode_request(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                             storage.get(), &r),
              GetParam().expected)
        << GetParam().what;
}

std::vector<std::string> with(size_t index, const std::string &value) {
    std::vector<std::string> fields = good;
    fields[index] = value;
    return fields;
}

std::vector<std::string> plus_args(size_t count, const std::string &arg) {
    std::vector<std::string> fields = good;
    fields.insert(fields.end(), count, arg);
    return fields;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeRequestTest,
    testing::Values(
        decode_case{"good", request(good, 0), wire_status::ok},
        decode_case{"empty terminal", request(with(4, ""), 0), wire_status::ok},
        decode_case{"two arguments", request(plus_args(2, "a"), 2), wire_status::ok},
        decode_case{"empty", "", wire_status::bad_magic},
        decode_case{"other magic", "VXS1\x02", wire_status::bad_magic},
        decode_case{"no count", "VXQ2", wire_status::short_message},
        decode_case{"the old request", "VXQ1" + request(good, 0).substr(4), wire_status::bad_magic},
        decode_case{"five environment entries",
                    request(good, 0, std::vector<std::string>(5, "TZ=UTC")), wire_status::ok},
        decode_case{"six environment entries",
                    request(good, 0, std::vector<std::string>(6, "TZ=UTC")), wire_status::too_many},
        decode_case{"an environment entry of 145 bytes",
                    request(good, 0, {"TZ=" + std::string(142, 'x')}), wire_status::too_long},
        decode_case{"cut in a length", request(good, 0).substr(0, 7), wire_status::short_message},
        decode_case{"cut in a text", request(good, 0).substr(0, 12), wire_status::short_message},
        decode_case{"fewer arguments than counted", request(plus_args(1, "a"), 2),
                    wire_status::short_message},
        decode_case{"more arguments than counted", request(plus_args(2, "a"), 1),
                    wire_status::trailing},
        decode_case{"trailing byte", request(good, 0) + "x", wire_status::trailing},
        decode_case{"NUL in the name", request(with(0, std::string("si\0te1", 6)), 0),
                    wire_status::nul_byte},
        decode_case{"NUL in an argument", request(plus_args(1, std::string("\0", 1)), 1),
                    wire_status::nul_byte},
        decode_case{"name of 256 bytes", request(with(0, std::string(256, 'n')), 0),
                    wire_status::too_long},
        decode_case{"name of 255 bytes", request(with(0, std::string(255, 'n')), 0),
                    wire_status::ok},
        decode_case{"token of 1024 bytes", request(with(3, std::string(1024, 't')), 0),
                    wire_status::too_long},
        decode_case{"terminal of 65 bytes", request(with(4, std::string(65, 'x')), 0),
                    wire_status::too_long},
        decode_case{"argument of 65537 bytes", request(plus_args(1, std::string(65537, 'a')), 1),
                    wire_status::too_long},
        decode_case{"argument of 65536 bytes", request(plus_args(1, std::string(65536, 'a')), 1),
                    wire_status::ok},
        decode_case{"arguments of 131073 bytes in all",
                    request(plus_args(3, std::string(43691, 'a')), 3), wire_status::args_too_long},
        decode_case{"arguments of 131072 bytes in all",
                    request(plus_args(2, std::string(65536, 'a')), 2), wire_status::ok},
        decode_case{"4097 arguments", request(plus_args(4097, "a"), 4097), wire_status::too_many},
        decode_case{"4096 arguments", request(plus_args(4096, "a"), 4096), wire_status::ok},
        decode_case{"larger than a request", request(good, 0) + std::string(request_size_max, 'x'),
                    wire_status::too_long}));

TEST(Wire, RequestRoundTrip) {
    const char *args[] = {"--full", "", "a b"};
    const char *env[] = {"TZ=UTC", "LANG=C.UTF-8"};
    request_t fields{"site1", "/home/site1", "backup", "secret", "", 2, env, 3, args};
    std::vector<unsigned char> buffer(request_size_max);
    size_t size = encode_request(&fields, buffer.data(), buffer.size());
    ASSERT_GT(size, 0U);
    auto storage = std::make_unique<request_storage_t>();
    request_t decoded{};
    request_t *r = &decoded;
    ASSERT_EQ(decode_request(buffer.data(), size, storage.get(), r), wire_status::ok);
    EXPECT_STREQ(r->name, "site1");
    EXPECT_STREQ(r->cwd, "/home/site1");
    EXPECT_STREQ(r->alias, "backup");
    EXPECT_STREQ(r->token, "secret");
    EXPECT_STREQ(r->term, "");
    ASSERT_EQ(r->env_count, 2U);
    EXPECT_STREQ(r->env[1], "LANG=C.UTF-8");
    ASSERT_EQ(r->arg_count, 3U);
    EXPECT_STREQ(r->args[1], "");
    EXPECT_STREQ(r->args[2], "a b");
    std::string long_token(1024, 't');
    fields.token = long_token.c_str();
    EXPECT_EQ(encode_request(&fields, buffer.data(), buffer.size()), 0U);
}

TEST(Wire, ListQueryAndTextParts) {
    unsigned char query[list_query_size_max];
    size_t size = encode_list_query(list_flag_json, "site1", "backup", query, sizeof query);
    ASSERT_TRUE(is_list_query(query, size));
    auto storage = std::make_unique<request_storage_t>();
    request_t decoded{};
    request_t *r = &decoded;
    unsigned char flags = 0;
    ASSERT_EQ(decode_list_query(query, size, storage.get(), r, &flags), wire_status::ok);
    EXPECT_EQ(flags, list_flag_json);
    EXPECT_STREQ(r->name, "site1");
    EXPECT_STREQ(r->alias, "backup");
    EXPECT_STREQ(r->token, "");
    EXPECT_EQ(r->arg_count, 0U);
    EXPECT_EQ(decode_list_query(query, size - 1, storage.get(), r, &flags),
              wire_status::short_message);
    query[size] = 'x';
    EXPECT_EQ(decode_list_query(query, size + 1, storage.get(), r, &flags), wire_status::trailing);
    std::string long_alias(alias_length_max + 1, 'a');
    EXPECT_EQ(encode_list_query(0, "site1", long_alias.c_str(), query, sizeof query), 0U);
    std::vector<unsigned char> part(text_message_max + 1);
    ASSERT_EQ(encode_text_part("ab", 2, part.data(), part.size()), 6U);
    const unsigned char *text = nullptr;
    size_t length = 0;
    ASSERT_EQ(decode_text_part(part.data(), 6, &text, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(text), length), "ab");
    EXPECT_EQ(decode_text_part(part.data(), text_message_max + 1, &text, &length), -1);
    std::string too_long(text_part_max + 1, 'x');
    EXPECT_EQ(encode_text_part(too_long.data(), too_long.size(), part.data(), part.size()), 0U);
}

TEST(Wire, SignalAndReply) {
    unsigned char message[signal_message_size];
    encode_signal(2, message);
    EXPECT_EQ(decode_signal(message, sizeof message), 2);
    EXPECT_EQ(decode_signal(message, sizeof message - 1), 0);
    unsigned char stopped[stopped_message_size + 1];
    encode_stopped(stopped);
    EXPECT_TRUE(is_stopped_message(stopped, stopped_message_size));
    EXPECT_FALSE(is_stopped_message(stopped, stopped_message_size + 1));
    EXPECT_FALSE(is_stopped_message(message, stopped_message_size));  // "VXS1"
    unsigned char reply[reply_size_max];
    reply_t sent{reply_kind::signalled, -9, end_kind::blocked, 42, "why"};
    size_t size = encode_reply(&sent, reply, sizeof reply);
    reply_t out{};
    ASSERT_EQ(decode_reply(reply, size, &out), 0);
    EXPECT_EQ(out.kind, reply_kind::signalled);
    EXPECT_EQ(out.value, -9);
    EXPECT_EQ(out.end, end_kind::blocked);
    EXPECT_EQ(out.number, 42);
    EXPECT_STREQ(out.text, "why");
    EXPECT_EQ(decode_reply(reply, size - 1, &out), -1);
    reply[9] = static_cast<unsigned char>(end_kind::count);  // no such end
    EXPECT_EQ(decode_reply(reply, size, &out), -1);
    reply[9] = 0;
    reply[4] = 3;  // no such kind
    EXPECT_EQ(decode_reply(reply, size, &out), -1);
}

TEST(Wire, ReportRecords) {
    unsigned char record[report_record_max];
    size_t size = encode_report_record(end_kind::runs, 7, "/bin/id", "root", record, sizeof record);
    report_record_t out{};
    ASSERT_EQ(decode_report_record(record, size, &out), 0);
    EXPECT_EQ(out.kind, end_kind::runs);
    EXPECT_EQ(out.number, 7);
    EXPECT_STREQ(out.text, "/bin/id");
    EXPECT_STREQ(out.detail, "root");
    EXPECT_STREQ(end_kind_name(end_kind::alias_unknown), "alias-unknown");
    EXPECT_STREQ(end_kind_name(end_kind::count), "?");
    // A cut record, a byte too many, an unknown kind and a NUL inside a text are refused.
    EXPECT_EQ(decode_report_record(record, size - 1, &out), -1);
    EXPECT_EQ(decode_report_record(record, size + 1, &out), -1);
    record[4] = static_cast<unsigned char>(end_kind::count);
    EXPECT_EQ(decode_report_record(record, size, &out), -1);
    record[4] = static_cast<unsigned char>(end_kind::runs);
    record[11] = '\0';
    EXPECT_EQ(decode_report_record(record, size, &out), -1);
}

}  // namespace
