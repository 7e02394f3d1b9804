#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>

#include "hex_util.hpp"
#include "net/handshake.hpp"
#include "net/memory_stream.hpp"
#include "net/packet.hpp"
#include "net/response.hpp"

using namespace quotix;
using namespace quotix::net;
using quotix::testing::concat;
using quotix::testing::hex;

namespace {

// 64 zero bytes, deflated (12 bytes).
const char* ZEROS64_ZLIB = "78 9c 63 60 a0 0c 00 00 00 40 00 01";

std::vector<uint8_t> header_with_sizes(uint16_t zip, uint16_t unzip) {
    return {0xb1, 0xcb, 0x74, 0x00, 0x0c, 0x02, 0x18, 0x93, 0x00, 0x01, 0x0d, 0x00,
            static_cast<uint8_t>(zip), static_cast<uint8_t>(zip >> 8),
            static_cast<uint8_t>(unzip), static_cast<uint8_t>(unzip >> 8)};
}

std::vector<uint8_t> reply(uint16_t zip, uint16_t unzip, const std::vector<uint8_t>& body) {
    return concat(header_with_sizes(zip, unzip), body);
}

std::vector<uint8_t> deflate_bytes(const std::vector<uint8_t>& plain) {
    uLongf len = compressBound(plain.size());
    std::vector<uint8_t> out(len);
    EXPECT_EQ(compress(out.data(), &len, plain.data(), plain.size()), Z_OK);
    out.resize(len);
    return out;
}

}  // namespace

TEST(ResponseHeader, SizesAndLeadingBytes) {
    auto h = ResponseHeader::parse(hex("01 02 03 04 05 06 07 08 ff ff ff ff 10 00 10 00"));
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(h->leading, (std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_FALSE(h->is_compressed());
    h = ResponseHeader::parse(hex("00 00 00 00 00 00 00 00 00 00 00 00 ff ff fe ff aa bb"));
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(h->zip_size, 65535u);
    EXPECT_EQ(h->unzip_size, 65534u);
    EXPECT_TRUE(h->is_compressed());

    h = ResponseHeader::parse(std::vector<uint8_t>(15, 0));
    ASSERT_FALSE(h.ok());
    EXPECT_EQ(h.error().display(), "[E2101] invalid response header: expected 16 bytes, got 15");
    EXPECT_EQ(ResponseHeader::parse({}).error().coded_error().message, "expected 16 bytes, got 0");
}

TEST(Inflate, RealLengthWhateverTheHint) {
    auto out = decompress_zlib(hex(ZEROS64_ZLIB), 64);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(*out, std::vector<uint8_t>(64, 0));
    std::vector<uint8_t> plain(5000);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 7);
    auto z = deflate_bytes(plain);
    for (size_t hint : {size_t{0}, size_t{10}, size_t{5000}, size_t{65535}}) {
        out = decompress_zlib(z, hint);
        ASSERT_TRUE(out.ok()) << hint;
        EXPECT_EQ(*out, plain) << hint;
    }
}

TEST(Inflate, BadStreamsAreRefused) {
    std::vector<uint8_t> plain(3000, 'x');
    for (size_t i = 0; i < plain.size(); i += 3) plain[i] = static_cast<uint8_t>(i);
    const auto z = deflate_bytes(plain);
    auto flipped = hex(ZEROS64_ZLIB);
    flipped.back() ^= 0xff;  // a flipped byte in the checksum trailer
    std::vector<std::pair<std::vector<uint8_t>, uint32_t>> cases = {
        {hex("01 02 03 04 05 06 07 08"), 2102},  // a plain body sent as if compressed
        {flipped, 2102},
        // 4 MiB of zeros deflates to a few kilobytes; no quote reply inflates past 1 MiB.
        {deflate_bytes(std::vector<uint8_t>(4u << 20, 0)), 2103},
    };
    // Every proper prefix is incomplete: without the trailer nothing may come back as success.
    for (size_t cut : {size_t{0}, size_t{1}, size_t{2}, z.size() / 2, z.size() - 4, z.size() - 1})
        cases.push_back({std::vector<uint8_t>(z.begin(), z.begin() + cut), 2102});
    for (const auto& [stream, code] : cases) {
        auto out = decompress_zlib(stream, 100);
        ASSERT_FALSE(out.ok()) << stream.size();
        EXPECT_TRUE(out.error().is_coded(code)) << stream.size() << " " << out.error().display();
    }
    EXPECT_EQ(decompress_zlib(flipped, 64).error().display().rfind("[E2102] zlib decompress failed: ", 0), 0u);
}

TEST(ReadResponse, BodiesAndWhatIsLeftUnread) {
    struct Case { std::vector<uint8_t> stream, body; size_t unread; };
    const Case cases[] = {
        {reply(16, 16, hex("0102030405060708090a0b0c0d0e0f10")), hex("0102030405060708090a0b0c0d0e0f10"), 0},
        {reply(12, 64, hex(ZEROS64_ZLIB)), std::vector<uint8_t>(64, 0), 0},
        // The inflated length is not compared with the header's claim of 100.
        {reply(12, 100, hex(ZEROS64_ZLIB)), std::vector<uint8_t>(64, 0), 0},
        // Only the announced body is consumed.
        {reply(2, 2, hex("11 22 aa bb cc")), hex("11 22"), 3},
    };
    for (const Case& c : cases) {
        MemoryStream s(c.stream);
        auto r = read_response(s, s.exchange_deadline());
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(*r, c.body);
        EXPECT_EQ(s.unread(), c.unread);
    }
    // send_and_read sends, then reads.
    MemoryStream s(reply(1, 1, hex("7f")));
    auto packet = build_security_count_packet(0);
    auto r = send_and_read(s, packet);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, hex("7f"));
    EXPECT_EQ(s.sent, packet);
}

TEST(ReadResponse, Failures) {
    const std::pair<std::vector<uint8_t>, const char*> cases[] = {
        {header_with_sizes(0, 0), "[E2003] server disconnected: empty response body"},
        {hex("00 01 02 03 04 05 06 07 08 09"), "Server disconnected"},  // short header
        {reply(16, 16, hex("01 02 03")), "Server disconnected"},          // short body
        {reply(4, 8, hex("01 02 03 04")), "[E2102] zlib decompress failed: "},  // differing sizes over plain data
    };
    for (const auto& [stream, display] : cases) {
        MemoryStream s(stream);
        auto r = read_response(s, s.exchange_deadline());
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().display().substr(0, strlen(display)), display);
    }
}

TEST(Handshake, SendsThreeSetupPacketsAndDropsReplies) {
    // An empty reply, a plain one and a compressed one: all accepted.
    MemoryStream s(concat(concat(header_with_sizes(0, 0), reply(3, 3, hex("01 02 03"))), reply(12, 64, hex(ZEROS64_ZLIB))));
    ASSERT_TRUE(perform_handshake(s).ok());
    std::vector<uint8_t> all;
    for (auto p : SETUP_PACKETS) all.insert(all.end(), p.begin(), p.end());
    EXPECT_EQ(s.sent, all);
    EXPECT_EQ(s.sends, 3u);
    EXPECT_EQ(s.unread(), 0u);
}

// The handshake stops at the first failure and returns it unchanged.
TEST(Handshake, StopsAtFirstFailure) {
    struct Case { std::vector<uint8_t> replies; bool sends_fail; const char* display; size_t sends; };
    const Case cases[] = {
        // Only the first reply arrives: the second read fails and the third packet is never sent.
        {header_with_sizes(0, 0), false, "Server disconnected", 2},
        {concat(header_with_sizes(0, 0), reply(4, 9, hex("de ad be ef"))), false, "[E2102] zlib decompress failed: ", 2},
        {{}, true, "Connection error: send failed: Broken pipe (os error 32)", 0},
    };
    for (const Case& c : cases) {
        MemoryStream s(c.replies);
        if (c.sends_fail) s.fail_sends("Broken pipe (os error 32)");
        auto st = perform_handshake(s);
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().display().substr(0, strlen(c.display)), c.display);
        EXPECT_EQ(s.sends, c.sends) << c.display;
    }
}
