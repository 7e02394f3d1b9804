#include "net/server_cache.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "core/logging.hpp"
#include "net/json_reader.hpp"

namespace quotix::net {

namespace {

using nlohmann::ordered_json;
using util::JsonValue;

bool valid_utf8(std::string_view s) {
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t len;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not text.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += len;
    }
    return true;
}

const char* env_text(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || !valid_utf8(v)) return nullptr;
    return v;
}

// Reads of one member with its type checked; each fault names the member and where it sits.
class Reader {
public:
    std::string error;

    const JsonValue* member(const JsonValue& obj, const char* key) {
        if (!error.empty()) return nullptr;
        if (obj.type != JsonValue::Type::Object) {
            error = std::string("invalid type: ") + obj.type_name() + ", expected an object" +
                    util::json_position(obj.line, obj.column);
            return nullptr;
        }
        const JsonValue* v = optional_member(obj, key);
        if (v == nullptr && error.empty())
            error = std::string("missing field `") + key + "`" +
                    util::json_position(obj.end_line, obj.end_column);
        return v;
    }

    // A member that may be missing. A key named twice is a fault only for the members read here:
    // the others are skipped whatever they hold.
    const JsonValue* optional_member(const JsonValue& obj, const char* key) {
        if (!error.empty()) return nullptr;
        if (const JsonValue* again = obj.repeat_of(key)) {
            duplicate(key, *again);
            return nullptr;
        }
        return obj.find(key);
    }

    void duplicate(std::string_view key, const JsonValue& again) {
        error = "duplicate field `" + std::string(key) + "`" +
                util::json_position(again.key_end_line, again.key_end_column);
    }

    template <class T>
    T uint(const JsonValue& obj, const char* key) {
        const JsonValue* v = member(obj, key);
        if (v == nullptr) return 0;
        if (v->type == JsonValue::Type::Number && v->is_integer && v->integer_fits &&
            (!v->negative || v->magnitude == 0) && v->magnitude <= std::numeric_limits<T>::max())
            return static_cast<T>(v->magnitude);
        if (v->type == JsonValue::Type::Number && v->is_integer)
            error = std::string("invalid value: integer `") + v->text + "` for `" + key +
                    "`, expected u" + std::to_string(sizeof(T) * 8);
        else
            error = std::string("invalid type: ") + v->type_name() + " for `" + key +
                    "`, expected u" + std::to_string(sizeof(T) * 8);
        error += util::json_position(v->line, v->column);
        return 0;
    }

    std::string text(const JsonValue& obj, const char* key) {
        const JsonValue* v = member(obj, key);
        if (v == nullptr) return {};
        if (v->type != JsonValue::Type::String) {
            error = std::string("invalid type: ") + v->type_name() + " for `" + key +
                    "`, expected a string" + util::json_position(v->line, v->column);
            return {};
        }
        return v->text;
    }

    // Called only on a member just found, so no earlier fault is pending.
    bool expect(const JsonValue& v, JsonValue::Type type, const char* key, const char* what) {
        if (v.type == type) return true;
        error = std::string("invalid type: ") + v.type_name() + " for `" + key + "`, expected " +
                what + util::json_position(v.line, v.column);
        return false;
    }
};

// Writes the whole text to a new file beside the target and renames it over the target, so a crash
// mid-write leaves the old file whole. Returns the OS error text on failure.
std::optional<std::string> write_atomically(const std::filesystem::path& path,
                                            const std::string& text) {
    // A name of its own per write: two caches of one process may save at the same time.
    static std::atomic<uint64_t> serial{0};
    std::filesystem::path tmp = path;
    tmp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(serial.fetch_add(1));
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno_text(errno);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            return errno_text(err);
        }
        done += static_cast<size_t>(w);
    }
    // The descriptor is closed whether or not the sync worked; the first failure is the one told.
    int err = ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err != 0) {
        ::unlink(tmp.c_str());
        return errno_text(err);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        return errno_text(err);
    }
    return std::nullopt;
}

// The file's whole content, or nothing when it cannot be opened or read to its end (a folder, no
// permission): such a file is as good as missing.
// Far above any cache this client writes (one small entry per server): a larger file is not
// one of ours, and reading it whole into JSON nodes could exhaust memory.
constexpr size_t MAX_CACHE_FILE_BYTES = size_t{1} << 20;

// The file's text, or at most `limit` + 1 bytes of it when it is longer.
std::optional<std::string> read_whole_file(const std::filesystem::path& path, size_t limit) {
    struct Fd {
        int fd;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
    } f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) return std::nullopt;
    std::string text;
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(f.fd, buf, sizeof buf);
        if (n == 0) return text;
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
            if (text.size() > limit) return text;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

ServerStats& stats_for(ServerCache& c, std::string_view ip, uint16_t port) {
    return c.server_stats[ServerCache::stats_key(ip, port)];
}

}  // namespace

std::filesystem::path ServerCache::cache_path() {
    const char* base = env_text("USERPROFILE");
    if (base == nullptr) base = env_text("HOME");
    std::filesystem::path p = base != nullptr ? std::filesystem::path(base) : std::filesystem::path(".");
    return p / ".quotix" / "server_cache.json";
}

std::string ServerCache::stats_key(std::string_view ip, uint16_t port) {
    return std::string(ip) + ":" + std::to_string(port);
}

uint64_t ServerCache::system_now() {
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    return secs > 0 ? static_cast<uint64_t>(secs) : 0;
}

Result<std::string> ServerCache::to_json() const {
    ordered_json doc = ordered_json::object();
    doc["version"] = version;
    if (last_success) {
        ordered_json s = ordered_json::object();
        s["ip"] = last_success->ip;
        s["port"] = last_success->port;
        s["name"] = last_success->name;
        s["timestamp"] = last_success->timestamp;
        s["latency_ms"] = last_success->latency_ms;
        doc["last_success"] = std::move(s);
    } else {
        doc["last_success"] = nullptr;
    }
    ordered_json bl = ordered_json::array();
    for (const auto& e : blacklist) {
        ordered_json o = ordered_json::object();
        o["ip"] = e.ip;
        o["port"] = e.port;
        o["reason"] = e.reason;
        o["timestamp"] = e.timestamp;
        bl.push_back(std::move(o));
    }
    doc["blacklist"] = std::move(bl);
    ordered_json stats = ordered_json::object();
    for (const auto& [key, st] : server_stats) {
        ordered_json o = ordered_json::object();
        o["success"] = st.success;
        o["fail"] = st.fail;
        o["avg_latency"] = st.avg_latency;
        stats[key] = std::move(o);
    }
    doc["server_stats"] = std::move(stats);
    try {
        // Texts that are not UTF-8 are refused rather than written as a file nobody can read back.
        return doc.dump(2, ' ', false, ordered_json::error_handler_t::strict);
    } catch (const std::exception& e) {
        return TdxError::invalid_data(e.what());
    }
}

Result<ServerCache> ServerCache::from_json(std::string_view text) {
    auto parsed = util::parse_json(text);
    if (!parsed.value) return TdxError::parse(parsed.error);
    const JsonValue& doc = *parsed.value;
    Reader r;
    ServerCache c;
    if (doc.type != JsonValue::Type::Object)
        return TdxError::parse(std::string("invalid type: ") + doc.type_name() +
                               ", expected struct ServerCache" +
                               util::json_position(doc.line, doc.column));
    c.version = r.uint<uint32_t>(doc, "version");
    const JsonValue* ls = r.optional_member(doc, "last_success");
    if (ls != nullptr && ls->type != JsonValue::Type::Null &&
        r.expect(*ls, JsonValue::Type::Object, "last_success", "an object or null")) {
        ServerCacheEntry e;
        e.ip = r.text(*ls, "ip");
        e.port = r.uint<uint16_t>(*ls, "port");
        e.name = r.text(*ls, "name");
        e.timestamp = r.uint<uint64_t>(*ls, "timestamp");
        e.latency_ms = r.uint<uint32_t>(*ls, "latency_ms");
        c.last_success = std::move(e);
    }
    const JsonValue* bl = r.member(doc, "blacklist");
    if (bl != nullptr && r.expect(*bl, JsonValue::Type::Array, "blacklist", "an array")) {
        for (const auto& item : bl->items) {
            BlacklistEntry e;
            e.ip = r.text(item, "ip");
            e.port = r.uint<uint16_t>(item, "port");
            e.reason = r.text(item, "reason");
            e.timestamp = r.uint<uint64_t>(item, "timestamp");
            if (!r.error.empty()) break;
            c.blacklist.push_back(std::move(e));
        }
    }
    const JsonValue* st = r.member(doc, "server_stats");
    if (st != nullptr && r.expect(*st, JsonValue::Type::Object, "server_stats", "an object")) {
        for (size_t i = 0; i < st->keys.size(); ++i) {
            const std::string& key = st->keys[i];
            const JsonValue& item = st->member_values[i];
            if (c.server_stats.count(key) != 0) {
                r.duplicate(key, item);
                break;
            }
            ServerStats s;
            s.success = r.uint<uint32_t>(item, "success");
            s.fail = r.uint<uint32_t>(item, "fail");
            s.avg_latency = r.uint<uint32_t>(item, "avg_latency");
            if (!r.error.empty()) break;
            c.server_stats[key] = s;
        }
    }
    if (!r.error.empty()) return TdxError::parse(r.error);
    return c;
}

ServerCache ServerCache::load() { return load_from(cache_path()); }

ServerCache ServerCache::load_from(const std::filesystem::path& path) {
    const std::optional<std::string> text = read_whole_file(path, MAX_CACHE_FILE_BYTES);
    if (text && text->size() > MAX_CACHE_FILE_BYTES) {
        QTX_LOG('W', "cache", "failed to parse cache: file larger than " << MAX_CACHE_FILE_BYTES << " bytes");
        return ServerCache{};
    }
    if (!text || !valid_utf8(*text)) return ServerCache{};
    auto parsed = from_json(*text);
    if (!parsed) {
        QTX_LOG('W', "cache", "failed to parse cache: " << parsed.error().text());
        return ServerCache{};
    }
    return std::move(parsed).value();
}

void ServerCache::save() const {
    const auto path = cache_path();
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    auto text = to_json();
    if (!text) {
        QTX_LOG('W', "cache", "failed to serialize cache: " << text.error().text());
        return;
    }
    if (auto err = write_atomically(path, *text))
        QTX_LOG('W', "cache", "failed to save cache: " << *err);
}

void ServerCache::record_success(std::string_view ip, uint16_t port, std::string_view name,
                                 uint32_t latency_ms) {
    last_success = ServerCacheEntry{std::string(ip), port, std::string(name), now(), latency_ms};
    ServerStats& st = stats_for(*this, ip, port);
    // 64-bit arithmetic: n x mean cannot overflow, and n + 1 is never 0. Once the count is at its
    // largest it stays there and the mean keeps moving with the same weight.
    const uint64_t n = st.success;
    const uint64_t mean = (n * st.avg_latency + latency_ms) / (n + 1);
    st.avg_latency = static_cast<uint32_t>(mean);  // a mean of u32 values fits in u32
    if (st.success < std::numeric_limits<uint32_t>::max()) ++st.success;
    save();
}

void ServerCache::record_failure(std::string_view ip, uint16_t port) {
    ServerStats& st = stats_for(*this, ip, port);
    if (st.fail < std::numeric_limits<uint32_t>::max()) ++st.fail;
    save();
}

bool ServerCache::is_live(const BlacklistEntry& e) const {
    // Unsigned age: an entry dated in the future looks ancient and counts as expired.
    return now() - e.timestamp < BLACKLIST_TTL_SECS;
}

bool ServerCache::is_blacklisted(std::string_view ip, uint16_t port) const {
    for (const auto& e : blacklist)
        if (e.ip == ip && e.port == port && is_live(e)) return true;
    return false;
}

void ServerCache::add_to_blacklist(std::string_view ip, uint16_t port, std::string_view reason) {
    if (is_blacklisted(ip, port)) return;
    blacklist.push_back(BlacklistEntry{std::string(ip), port, std::string(reason), now()});
    std::erase_if(blacklist, [this](const BlacklistEntry& e) { return !is_live(e); });
    save();
}

}  // namespace quotix::net
