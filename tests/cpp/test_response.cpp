#include <gtest/gtest.h>

#include <zlib.h>

#include "error_codes.hpp"
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
    EXPECT_EQ(h->zip_size, 16u);
    EXPECT_EQ(h->unzip_size, 16u);
    EXPECT_FALSE(h->is_compressed());
    EXPECT_EQ(h->leading, (std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}));

    h = ResponseHeader::parse(hex("00 00 00 00 00 00 00 00 00 00 00 00 0c 00 40 00 aa bb"));
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(h->zip_size, 12u);
    EXPECT_EQ(h->unzip_size, 64u);
    EXPECT_TRUE(h->is_compressed());

    h = ResponseHeader::parse(hex("00 00 00 00 00 00 00 00 00 00 00 00 ff ff fe ff"));
    EXPECT_EQ(h->zip_size, 65535u);
    EXPECT_EQ(h->unzip_size, 65534u);
}

TEST(ResponseHeader, ShortBufferIsCoded2101) {
    auto h = ResponseHeader::parse(std::vector<uint8_t>(15, 0));
    ASSERT_FALSE(h.ok());
    EXPECT_EQ(h.error().display(), "[E2101] invalid response header: expected 16 bytes, got 15");
    EXPECT_EQ(ResponseHeader::parse({}).error().coded_error().message, "expected 16 bytes, got 0");
}

TEST(Inflate, GoodStream) {
    auto out = decompress_zlib(hex(ZEROS64_ZLIB), 64);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(*out, std::vector<uint8_t>(64, 0));
}

TEST(Inflate, RealLengthWhateverTheHint) {
    std::vector<uint8_t> plain(5000);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 7);
    auto z = deflate_bytes(plain);
    for (size_t hint : {size_t{0}, size_t{10}, size_t{5000}, size_t{65535}}) {
        auto out = decompress_zlib(z, hint);
        ASSERT_TRUE(out.ok()) << hint;
        EXPECT_EQ(*out, plain) << hint;
    }
}

TEST(Inflate, TruncatedStreamIsCoded2102) {
    std::vector<uint8_t> plain(3000, 'x');
    for (size_t i = 0; i < plain.size(); i += 3) plain[i] = static_cast<uint8_t>(i);
    auto z = deflate_bytes(plain);
    // Every proper prefix is incomplete: without the trailer nothing may come back as success.
    for (size_t cut : {size_t{0}, size_t{1}, size_t{2}, z.size() / 2, z.size() - 4, z.size() - 1}) {
        auto out = decompress_zlib(std::span<const uint8_t>(z.data(), cut), plain.size());
        ASSERT_FALSE(out.ok()) << cut;
        EXPECT_TRUE(out.error().is_coded(2102)) << cut << " " << out.error().display();
    }
}

TEST(Inflate, CorruptStreamIsCoded2102) {
    // A plain body sent as if compressed.
    auto out = decompress_zlib(hex("01 02 03 04 05 06 07 08"), 64);
    ASSERT_FALSE(out.ok());
    EXPECT_TRUE(out.error().is_coded(2102));
    EXPECT_EQ(out.error().display().rfind("[E2102] zlib decompress failed: ", 0), 0u);

    // A flipped byte in the checksum trailer.
    auto z = hex(ZEROS64_ZLIB);
    z.back() ^= 0xff;
    out = decompress_zlib(z, 64);
    ASSERT_FALSE(out.ok());
    EXPECT_TRUE(out.error().is_coded(2102));
}

TEST(Inflate, BombIsRefusedNotAllocated) {
    // 4 MiB of zeros deflates to a few kilobytes; no quote reply inflates past 1 MiB.
    auto z = deflate_bytes(std::vector<uint8_t>(4u << 20, 0));
    ASSERT_LT(z.size(), 65535u);
    auto out = decompress_zlib(z, 100);
    ASSERT_FALSE(out.ok());
    EXPECT_TRUE(out.error().is_coded(2103));
}

TEST(ReadResponse, PlainBodyReturnedAsItCame) {
    auto body = hex("01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10");
    MemoryStream s(concat(header_with_sizes(16, 16), body));
    auto r = read_response(s);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, body);
    EXPECT_EQ(s.unread(), 0u);
}

TEST(ReadResponse, CompressedBodyInflated) {
    MemoryStream s(concat(header_with_sizes(12, 64), hex(ZEROS64_ZLIB)));
    auto r = read_response(s);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, std::vector<uint8_t>(64, 0));
}

TEST(ReadResponse, InflatedLengthNotComparedWithHeader) {
    // The header claims 100 plain bytes; the stream really holds 64.
    MemoryStream s(concat(header_with_sizes(12, 100), hex(ZEROS64_ZLIB)));
    auto r = read_response(s);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->size(), 64u);
}

TEST(ReadResponse, OnlyTheAnnouncedBodyIsConsumed) {
    auto next = hex("aa bb cc");
    MemoryStream s(concat(concat(header_with_sizes(2, 2), hex("11 22")), next));
    auto r = read_response(s);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, hex("11 22"));
    EXPECT_EQ(s.unread(), 3u);
}

TEST(ReadResponse, EmptyBodyIsCoded2003) {
    MemoryStream s(header_with_sizes(0, 0));
    auto r = read_response(s);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(), "[E2003] server disconnected: empty response body");
}

TEST(ReadResponse, ShortHeaderOrBodyIsDisconnected) {
    MemoryStream short_header(hex("00 01 02 03 04 05 06 07 08 09"));
    auto r = read_response(short_header);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), TdxError::Kind::Disconnected);

    MemoryStream short_body(concat(header_with_sizes(16, 16), hex("01 02 03")));
    r = read_response(short_body);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), TdxError::Kind::Disconnected);
}

TEST(ReadResponse, DifferingSizesOverPlainDataIsCoded2102) {
    MemoryStream s(concat(header_with_sizes(4, 8), hex("01 02 03 04")));
    auto r = read_response(s);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_coded(2102));
}

TEST(ReadResponse, SendAndReadSendsThenReads) {
    MemoryStream s(concat(header_with_sizes(1, 1), hex("7f")));
    auto packet = build_security_count_packet(0);
    auto r = send_and_read(s, packet);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, hex("7f"));
    EXPECT_EQ(s.sent, packet);
}

TEST(Handshake, SendsThreeSetupPacketsAndDropsReplies) {
    // An empty reply, a plain one and a compressed one: all accepted.
    auto replies = concat(concat(header_with_sizes(0, 0), concat(header_with_sizes(3, 3), hex("01 02 03"))),
                          concat(header_with_sizes(12, 64), hex(ZEROS64_ZLIB)));
    MemoryStream s(replies);
    ASSERT_TRUE(perform_handshake(s).ok());
    std::vector<uint8_t> all;
    for (auto p : SETUP_PACKETS) all.insert(all.end(), p.begin(), p.end());
    EXPECT_EQ(s.sent, all);
    EXPECT_EQ(s.sends, 3u);
    EXPECT_EQ(s.unread(), 0u);
}

TEST(Handshake, StopsAtFirstFailure) {
    // Only the first reply arrives: the second read fails and the third packet is never sent.
    MemoryStream s(header_with_sizes(0, 0));
    auto st = perform_handshake(s);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), TdxError::Kind::Disconnected);
    EXPECT_EQ(s.sends, 2u);
}

TEST(Handshake, UninflatableSetupReplyIsCoded2102) {
    auto replies = concat(header_with_sizes(0, 0), concat(header_with_sizes(4, 9), hex("de ad be ef")));
    MemoryStream s(replies);
    auto st = perform_handshake(s);
    ASSERT_FALSE(st.ok());
    EXPECT_TRUE(st.error().is_coded(2102));
    EXPECT_EQ(s.sends, 2u);
}

TEST(Handshake, SendFailureReturnedUnchanged) {
    MemoryStream s;
    s.fail_sends("Broken pipe (os error 32)");
    auto st = perform_handshake(s);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().display(), "Connection error: send failed: Broken pipe (os error 32)");
}
