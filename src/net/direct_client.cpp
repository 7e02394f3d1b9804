#include "net/direct_client.hpp"

#include "core/logging.hpp"
#include "net/block_download.hpp"
#include "net/connection.hpp"
#include "protocol/block_file.hpp"
#include "protocol/handshake.hpp"
#include "protocol/packet.hpp"
#include "protocol/parsers.hpp"
#include "protocol/response.hpp"
#include "shared/query_rules.hpp"

namespace quotix::net {

void TdxDirectClient::set_server(std::string_view new_ip, uint16_t new_port) {
    ip = std::string(new_ip);
    port = new_port;
}

Result<std::vector<uint8_t>> TdxDirectClient::send_and_recv(std::span<const uint8_t> packet) const {
    auto conn = TcpConnection::connect(ip, port, timeout);
    if (!conn) {
        QTX_LOG('E', "direct",
                "connect to " << ip << ":" << port << " failed: " << conn.error().display());
        return std::move(conn).error();
    }
    // The connection closes when it leaves this scope, on every road.
    QTX_TRY(perform_handshake(*conn));
    return send_and_read(*conn, packet);
}

RequestFn TdxDirectClient::requester() const {
    // Every connection closes after its one request, so a refused reply needs nothing more.
    return [this](const std::vector<uint8_t>& packet, const ReplyCheck& check) -> Result<std::vector<uint8_t>> {
        auto body = send_and_recv(packet);
        if (body) QTX_TRY(check_reply(check, *body));
        return body;
    };
}

Result<std::vector<XdXrInfo>> TdxDirectClient::get_xdxr_info(uint8_t market,
                                                             std::string_view code) const {
    auto body = send_and_recv(build_xdxr_info_packet(market, code));
    if (!body) return std::move(body).error();
    return parse_xdxr_info(*body);
}

Result<std::vector<IndexBar>> TdxDirectClient::get_index_bars_inner(uint8_t category, uint8_t market,
                                                                    std::string_view code,
                                                                    uint32_t start,
                                                                    uint16_t count) const {
    QTX_TRY(check_start(start));
    auto body = send_and_recv(build_security_bars_packet(category, market, code, start, count, 0));
    if (!body) return std::move(body).error();
    return parse_index_bars(*body, category);
}

Result<std::vector<SecurityQuote>> TdxDirectClient::get_security_quotes_inner(
    std::span<const std::pair<uint8_t, std::string>> stocks) const {
    const auto kept = limit_quote_batch(stocks, "direct");
    auto body = send_and_recv(build_security_quotes_packet(kept));
    if (!body) return std::move(body).error();
    return parse_security_quotes(*body);
}

Result<std::vector<MinuteTimePrice>> TdxDirectClient::get_history_minute_time_data(
    uint8_t market, std::string_view code, uint32_t date) const {
    auto body = send_and_recv(build_history_minute_time_data_packet(market, code, date));
    if (!body) return std::move(body).error();
    return parse_history_minute_time_data(*body, market, code);
}

Result<std::vector<BlockRecord>> TdxDirectClient::get_and_parse_block_info(
    std::string_view file_name) const {
    auto data = download_block_file(requester(), file_name);
    if (!data) return std::move(data).error();
    return parse_block(*data);
}

Result<std::vector<SecurityBar>> TdxDirectClient::get_security_bars(uint8_t category, uint8_t market,
                                                                    std::string_view code,
                                                                    uint32_t start, uint16_t count,
                                                                    uint8_t fq) const {
    QTX_TRY(check_start(start));
    auto body = send_and_recv(build_security_bars_packet(category, market, code, start, count, fq));
    if (!body) return std::move(body).error();
    auto bars = parse_security_bars(*body, category);
    if (!bars) return std::move(bars).error();
    if (fq != 0 && bars->empty()) {
        // Nothing to adjust, yet the events are asked for all the same, and a failed request
        // fails the call as it does when there are bars.
        QTX_TRY(get_xdxr_info(market, code));
        return bars;
    }
    QTX_TRY(adjust_window(*bars, fq, category, market, code, start + count, fq_context_tier,
                          requester()));
    return bars;
}

}  // namespace quotix::net
