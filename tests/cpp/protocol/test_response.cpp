// Replies off a stream: the 16-byte header with its two sizes, the body it announces, inflation, and the
// setup handshake.
#include <gtest/gtest.h>

#include <zlib.h>

#include "hex_util.hpp"
#include "protocol/handshake.hpp"
#include "protocol/memory_stream.hpp"
#include "protocol/packet.hpp"
#include "protocol/response.hpp"

using namespace quotix;
using namespace quotix::net;
using quotix::testing::hex;

namespace {

// 64 zero bytes, deflated (12 bytes).
const char* ZEROS64_ZLIB = "78 9c 63 60 a0 0c 00 00 00 40 00 01";

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
std::vector<uint8_t> reply(uint16_t zip, uint16_t unzip, const char* body = "") {
    auto r = hex("b1 cb 74 00 0c 02 18 93 00 01 0d 00");
    for (uint16_t v : {zip, unzip}) r.insert(r.end(), {uint8_t(v), uint8_t(v >> 8)});
    return r + hex(body);
}

std::vector<uint8_t> deflate_bytes(const std::vector<uint8_t>& plain) {
    uLongf len = compressBound(plain.size());
    std::vector<uint8_t> out(len);
    EXPECT_EQ(compress(out.data(), &len, plain.data(), plain.size()), Z_OK);
    out.resize(len);
    return out;
}

bool starts_with(const TdxError& e, const char* display) { return e.display().rfind(display, 0) == 0; }

}  // namespace

// The announced size is only a hint; a stream that does not end properly, or grows past 1 MiB, is refused.
TEST(Inflate, RealLengthAndBadStreams) {
    std::vector<uint8_t> plain(5000);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 7);
    const auto z = deflate_bytes(plain);
    for (size_t hint : {size_t{10}, size_t{65535}}) EXPECT_EQ(decompress_zlib(z, hint).value(), plain) << hint;
    auto flipped = hex(ZEROS64_ZLIB);
    flipped.back() ^= 0xff;  // a flipped byte in the checksum trailer
    const auto zeros = hex(ZEROS64_ZLIB);
    const std::string failed = "[E2102] zlib decompress failed: ", cut_short = failed + "incomplete zlib stream";
    // Each row: a stream and how its error's text begins.
    std::vector<std::pair<std::vector<uint8_t>, std::string>> cases = {
        {hex("01 02 03 04 05 06 07 08"), failed},  // a plain body sent as if compressed
        {flipped, failed},
        // 4 MiB of zeros deflates to a few kilobytes; no quote reply inflates past 1 MiB.
        {deflate_bytes(std::vector<uint8_t>(4u << 20, 0)), "[E2103] response length mismatch: inflated body exceeds"},
        {hex("78 bb 00 00 00 01 03 00"), failed + "need dictionary"},  // flag 0x20 of the second byte
        {{}, cut_short},
        // Cut right before the checksum, the 64 bytes out filling the first buffer exactly.
        {{zeros.begin(), zeros.begin() + 8}, cut_short},
    };
    // Cut short, even just inside the trailer.
    for (size_t cut : {z.size() / 2, z.size() - 4, z.size() - 1}) cases.push_back({{z.begin(), z.begin() + cut}, cut_short});
    for (const auto& [stream, error] : cases) {
        auto out = decompress_zlib(stream, 64);
        ASSERT_FALSE(out.ok()) << stream.size();
        EXPECT_TRUE(starts_with(out.error(), error.c_str())) << stream.size() << " " << out.error().display();
    }
}

// The sizes sit at bytes 12 to 15; a buffer shorter than the header is refused, a longer one cut.
TEST(ResponseHeader, SizesFromSixteenBytes) {
    const auto bytes = reply(0x0c, 0x40, "ff");
    EXPECT_EQ(ResponseHeader::parse(std::span(bytes).first(15)).error().display(),
              "[E2101] invalid response header: expected 16 bytes, got 15");
    const auto h = ResponseHeader::parse(bytes).value();
    EXPECT_EQ(std::vector<uint32_t>({h.leading[0], h.leading[7], h.zip_size, h.unzip_size}),
              std::vector<uint32_t>({0xb1, 0x93, 12, 64}));
}

// Each row a stream and what one exchange of a data request makes of it: the body, or the start of the
// error's text.
TEST(ReadResponse, BodiesFailuresAndWhatIsLeftUnread) {
    struct Case { std::vector<uint8_t> stream, body; const char* error; size_t unread; };
    const Case cases[] = {
        {reply(3, 3, "01 02 03"), hex("01 02 03"), nullptr, 0},
        // Inflated; its length is not compared with the header's claim of 100.
        {reply(12, 100, ZEROS64_ZLIB), std::vector<uint8_t>(64, 0), nullptr, 0},
        {reply(2, 2, "11 22 aa bb cc"), hex("11 22"), nullptr, 3},  // only the announced body is consumed
        {reply(0, 0), {}, "[E2003] server disconnected: empty response body", 0},
        {hex("00 01 02 03 04 05 06 07 08 09"), {}, "Server disconnected", 0},  // short header
        {reply(16, 16, "01 02 03"), {}, "Server disconnected", 0},               // short body
        {reply(4, 8, "01 02 03 04"), {}, "[E2102] zlib decompress failed: ", 0},  // sizes differ over plain data
    };
    for (const Case& c : cases) {
        MemoryStream s(c.stream);
        auto r = send_and_read(s, {});
        if (c.error) {
            EXPECT_TRUE(!r.ok() && starts_with(r.error(), c.error)) << c.error;
        } else {
            EXPECT_EQ(r.value(), c.body);
            EXPECT_EQ(s.unread(), c.unread);
        }
    }
}

// The handshake sends the three setup packets, dropping each reply (empty, plain or compressed), and
// stops at the first failure, returning it unchanged.
TEST(Handshake, SendsThreePacketsUntilTheFirstFailure) {
    std::vector<uint8_t> all;
    for (auto p : SETUP_PACKETS) all.insert(all.end(), p.begin(), p.end());
    struct Case { std::vector<uint8_t> replies; bool sends_fail; const char* error; size_t sends; };
    const Case cases[] = {
        {reply(0, 0) + reply(3, 3, "01 02 03") + reply(12, 64, ZEROS64_ZLIB), false, nullptr, 3},
        // Only the first reply arrives: the second read fails and the third packet is never sent.
        {reply(0, 0), false, "Server disconnected", 2},
        {reply(0, 0) + reply(4, 8, "01 02 03 04"), false, "[E2102] zlib decompress failed: ", 2},
        {{}, true, "Connection error: send failed: Broken pipe (os error 32)", 0},
    };
    for (const Case& c : cases) {
        MemoryStream s(c.replies);
        if (c.sends_fail) s.fail_sends("Broken pipe (os error 32)");
        auto st = perform_handshake(s);
        EXPECT_EQ(s.sends, c.sends);
        if (c.error) {
            EXPECT_TRUE(!st.ok() && starts_with(st.error(), c.error)) << c.error;
        } else {
            EXPECT_TRUE(st.ok());
            EXPECT_EQ(s.sent, all);
            EXPECT_EQ(s.unread(), 0u);
        }
    }
}
