// The pooled client's answer to an empty daily-or-longer K-line: some servers hold no history for
// a code, so such a reply is asked again of up to two other servers before it is believed.
// Intraday categories (below 4) are asked once.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/logging.hpp"

namespace quotix::net {

// `fetch()` makes one request and decodes its reply into a Result<std::vector<Bar>>;
// `switch_server()` moves the client to another server. A failure ends the attempts at once.
// `what` names the records in the log ("bars"), `kline` the reply ("K-line").
template <class Bar, class Fetch, class Switch>
Result<std::vector<Bar>> bars_switching_on_empty(uint8_t category, std::string_view code, const char* what,
                                                 const char* kline, Fetch&& fetch, Switch&& switch_server) {
    const int attempts = category < 4 ? 1 : 3;
    for (int i = 1; i <= attempts; ++i) {
        Result<std::vector<Bar>> bars = fetch();
        if (!bars) return bars;
        if (category < 4) return bars;
        if (!bars->empty()) {
            if (i > 1)
                QTX_LOG('I', "hq",
                        "got " << bars->size() << " " << what << " for " << code << " after " << (i - 1)
                               << " server switch(es)");
            return bars;
        }
        QTX_LOG('D', "hq",
                "attempt " << i << "/" << attempts << ": empty " << kline << " for " << code
                           << ", switching server");
        if (i < attempts) switch_server();
    }
    QTX_LOG('W', "hq", "all " << attempts << " attempts returned empty " << kline << " for " << code);
    return std::vector<Bar>{};
}

}  // namespace quotix::net
