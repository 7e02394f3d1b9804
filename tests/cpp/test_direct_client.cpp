#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "client_fixture.hpp"
#include "loopback_client.hpp"
#include "mock_server.hpp"
#include "net/block_download.hpp"
#include "net/direct_client.hpp"

using quotix::net::TdxDirectClient;
using quotix::test::CapturedLog;
using quotix::test::MockServer;

namespace {

class DirectClient : public quotix::testing::SharedMock<2> {
protected:
    TdxDirectClient client(size_t server = 0) const {
        return TdxDirectClient(MockServer::host(), mock_->port(server), 2.0);
    }
};

}  // namespace

// ---- one connection per request

TEST_F(DirectClient, EveryRequestOpensHandshakesAndClosesItsOwnConnection) {
    auto c = client();
    for (int i = 0; i < 3; ++i) {
        auto ev = c.get_xdxr_info(0, "000001");
        ASSERT_TRUE(ev.ok()) << ev.error().display();
        EXPECT_EQ(ev->size(), 9u);
    }
    EXPECT_EQ(mock_->accepted(), 3);
    EXPECT_EQ(mock_->handshakes(), 3);
    EXPECT_EQ(mock_->requests("xdxr"), 3);
    // Nothing of a connection outlives its call.
    mock_->call("ping");
    for (int i = 0; i < 100 && mock_->open_connections() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(mock_->open_connections(), 0);
}

TEST_F(DirectClient, UnreachableServerOrEmptyReplyIsAnError) {
    mock_->listen(1, false);
    CapturedLog log;
    auto r = client(1).get_xdxr_info(0, "000001");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(log.text(), "[E] direct  connect to 127.0.0.1:" + std::to_string(mock_->port(1)) + " failed: " +
                              r.error().display() + "\n");

    mock_->set_fault({{"action", "zero_body"}, {"cmd", "xdxr"}});
    auto empty = client(0).get_xdxr_info(0, "000001");
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().display(), "[E2003] server disconnected: empty response body");
}

TEST_F(DirectClient, SetServerKeepsTimeoutAndTier) {
    TdxDirectClient c(MockServer::host(), mock_->port(0), 1.5, 2);
    c.set_server("127.0.0.1", mock_->port(1));
    EXPECT_EQ(c.timeout, 1.5);
    EXPECT_EQ(c.fq_context_tier, 2);
    ASSERT_TRUE(c.get_xdxr_info(0, "000001").ok());
    EXPECT_EQ(mock_->requests("xdxr", 1), 1);
    EXPECT_EQ(mock_->requests("xdxr", 0), 0);
}

// ---- ready-made queries

TEST_F(DirectClient, IndexBarsSendFlagZeroAndReturnEmptyAsIs) {
    auto c = client();
    auto r = c.get_index_bars_inner(9, 1, "000001", 0, 3);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->size(), 3u);
    // The newest three of 1000 bars: i = 997, 998, 999; close = 3000.000 + 10 x (i mod 100) / 1000.
    EXPECT_DOUBLE_EQ(r->back().close, 3000.99);
    EXPECT_EQ(r->back().up_count, 199u);
    EXPECT_EQ(r->back().down_count, 201u);
    auto log = mock_->request_log("bars");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["args"]["fq"], 0);
    EXPECT_EQ(log[0]["args"]["category"], 9);

    auto empty = c.get_index_bars_inner(9, 1, "999999", 0, 3);
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(mock_->requests("bars"), 2);
}

TEST_F(DirectClient, StartAboveSixteenBitsIsRefusedBeforeAnyConnection) {
    auto r = client().get_index_bars_inner(4, 1, "000001", 65536, 10);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_coded(1003));
    EXPECT_EQ(r.error().coded_error().message, "start=65536");
    auto b = client().get_security_bars(4, 1, "600000", 70000, 10, 1);
    ASSERT_FALSE(b.ok());
    EXPECT_EQ(b.error().coded_error().message, "start=70000");
    EXPECT_EQ(mock_->accepted(), 0);
    EXPECT_TRUE(client().get_index_bars_inner(4, 1, "000001", 65535, 10).ok());
}

TEST_F(DirectClient, QuoteBatchIsCutToSixtyWithAWarningAndBlockCodesPass) {
    std::vector<std::pair<uint8_t, std::string>> pairs;
    pairs.emplace_back(1, "880001");
    for (int i = 1; i < 61; ++i) pairs.emplace_back(1, std::to_string(600100 + i));
    CapturedLog log(2);
    auto r = client().get_security_quotes_inner(pairs);
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(log.text(), "[W] direct  批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n");
    EXPECT_EQ(r->size(), 60u);
    EXPECT_EQ(r->front().code, "880001");
    auto req = mock_->request_log("quotes");
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0]["args"]["n"], 60);
    EXPECT_EQ(req[0]["args"]["pairs"][59][1], "600159");
}

TEST_F(DirectClient, AdjustedBarsFetchContextFromTheEndOfTheWindow) {
    // 600036: events at back 10 (fenhong 2.0) and back 1000 (fenhong 10.0). A window of the newest
    // ten bars lies after both, so its context starts at offset 10, not 800.
    auto r = client().get_security_bars(4, 1, "600036", 0, 10, 2);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->size(), 10u);
    auto pages = mock_->request_log("bars");
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0]["args"]["fq"], 2);
    EXPECT_EQ(pages[1]["args"]["start"], 10);
    EXPECT_EQ(pages[1]["args"]["fq"], 0);
    EXPECT_EQ(pages[2]["args"]["start"], 810);
    // Newest bar (i = 1999): close 30.990, divided by both factors.
    const double f1 = (30.98 - 1.0) / 30.98, f2 = (30.88 - 0.2) / 30.88;
    EXPECT_DOUBLE_EQ(r->back().close, std::round(30.99 / (f1 * f2) * 1000) / 1000);
}

// ---- block files

TEST_F(DirectClient, BlockFileComesInChunksOfThirtyThousandBytesEachOnItsOwnConnection) {
    auto rows = client().get_and_parse_block_info("block_gn.dat");
    ASSERT_TRUE(rows.ok()) << rows.error().display();
    auto chunks = mock_->request_log("block_chunk");
    ASSERT_EQ(chunks.size(), 4u);
    const int offsets[] = {0, 30000, 60000, 90000};
    const int sizes[] = {30000, 30000, 30000, 20141};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(chunks[i]["args"]["offset"], offsets[i]);
        EXPECT_EQ(chunks[i]["args"]["size"], sizes[i]);
        EXPECT_EQ(chunks[i]["args"]["file"], "block_gn.dat");
    }
    EXPECT_EQ(mock_->accepted(), 5);  // the meta request and four chunks
    // 40 blocks, block k holding k mod 5 + 1 codes: 8 x (1 + 2 + 3 + 4 + 5) rows.
    ASSERT_EQ(rows->size(), 120u);
    EXPECT_EQ(rows->front().blockname, "概念01");
    EXPECT_EQ(rows->front().code, "600100");
    EXPECT_EQ(rows->back().blockname, "概念40");
}

TEST_F(DirectClient, ShortChunkFailsNamingOffsetExpectedAndReceived) {
    // The second chunk reply loses 1000 bytes of file data.
    mock_->set_fault({{"action", "cut_body"}, {"cmd", "block_chunk"}, {"nth", 2}, {"keep", -1000}});
    auto r = client().get_and_parse_block_info("block_gn.dat");
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_coded(2103)) << r.error().display();
    EXPECT_EQ(r.error().coded_error().message, "offset=30000 expected=30000 received=29000");
    EXPECT_EQ(mock_->requests("block_chunk"), 2);
}

TEST_F(DirectClient, ChunkOfOnlyItsPrefixIsAFailureNotAHole) {
    mock_->set_fault({{"action", "empty"}, {"cmd", "block_chunk"}, {"nth", 1}});
    auto r = client().get_and_parse_block_info("block_fg.dat");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().coded_error().message, "offset=0 expected=11658 received=0");
}

TEST_F(DirectClient, LongChunkContributesOnlyTheBytesAskedFor) {
    // Meta announces 6 bytes; the chunk reply brings 4 prefix bytes and 10 data bytes.
    mock_->set_fault({{"action", "body"}, {"cmd", "block_meta"},
                      {"hex", "0600000001" + std::string(64, '0') + "000000"}});
    mock_->set_fault({{"action", "body"}, {"cmd", "block_chunk"},
                      {"hex", "0a000000" "00112233445566778899"}});
    auto data = quotix::net::download_block_file(client().requester(), "x.dat");
    ASSERT_TRUE(data.ok()) << data.error().display();
    EXPECT_EQ(quotix::test::hex(*data), "001122334455");
    auto chunks = mock_->request_log("block_chunk");
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0]["args"]["size"], 6);
}

TEST_F(DirectClient, SizeZeroSendsNoChunkRequest) {
    auto data = quotix::net::download_block_file(client().requester(), "unknown.dat");
    ASSERT_TRUE(data.ok()) << data.error().display();
    EXPECT_TRUE(data->empty());
    EXPECT_EQ(mock_->requests("block_chunk"), 0);
    EXPECT_EQ(mock_->requests("block_meta"), 1);
}
