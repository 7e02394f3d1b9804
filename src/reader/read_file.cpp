#include "reader/read_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace quotix::reader {
namespace {

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

Result<std::vector<uint8_t>> read_file_bytes(const std::string& path, const OnInterrupt& on_interrupt) {
    if (path.find('\0') != std::string::npos) return TdxError::io("file name contained an unexpected NUL byte");
    // Opening a FIFO waits for its writer, and a signal handled meanwhile (a timer, SIGCHLD)
    // ends that wait with EINTR: the open is repeated, as the reads below are, unless the
    // caller's answer to the signal is to stop.
    auto wait_on = [&] { return !on_interrupt || on_interrupt(); };
    Fd f{-1};
    for (;;) {
        f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (f.fd >= 0 || errno != EINTR) break;
        if (!wait_on()) return TdxError::io_errno(EINTR);
    }
    if (f.fd < 0) return TdxError::io_errno(errno);

    // Size the buffer from the file's own length (plus one byte to see the end without another
    // grow); files that report no size, such as pipes, grow in chunks as their bytes arrive.
    constexpr size_t CHUNK = 64 * 1024;
    size_t hint = CHUNK;
    struct stat st {};
    if (::fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        hint = static_cast<size_t>(st.st_size) + 1;

    std::vector<uint8_t> buf;
    size_t used = 0;
    for (;;) {
        if (buf.size() - used < 1) buf.resize(used == 0 ? hint : used + std::max(CHUNK, used / 2));
        const ssize_t n = ::read(f.fd, buf.data() + used, buf.size() - used);
        if (n < 0) {
            const int err = errno;  // before the caller's handlers run
            if (err == EINTR && wait_on()) continue;
            return TdxError::io_errno(err);
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    buf.resize(used);
    return buf;
}

Status check_whole_records(size_t size, size_t record_size, const char* what) {
    if (size % record_size == 0) return ok_status();
    return TdxError::invalid_data(std::string(what) + " file size " + std::to_string(size) + " is not a multiple of " +
                                  std::to_string(record_size));
}

}  // namespace quotix::reader
