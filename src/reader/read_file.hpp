// Reading a whole local data file into memory for the readers, and the record-size check their
// parsers share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace quotix::reader {

// Asked when a wait of the read (the open of a FIFO without a writer, a read of a pipe that has
// nothing yet) was cut short by a handled signal: true waits on, false gives up. The Python layer
// runs the interpreter's signal handlers here, so that Ctrl-C ends a read that may never end.
using OnInterrupt = std::function<bool()>;

// The file's bytes, read in one go. Every failure is TdxError::Io with the system's description
// and errno ("No such file or directory (os error 2)"); a path holding a NUL byte is refused
// before the system sees it. A read given up by `on_interrupt` is the EINTR error; without it an
// interrupted wait simply goes on.
Result<std::vector<uint8_t>> read_file_bytes(const std::string& path, const OnInterrupt& on_interrupt = {});

// Refuses data that is not a whole number of `record_size`-byte records, as InvalidData
// "{what} file size {size} is not a multiple of {record_size}".
Status check_whole_records(size_t size, size_t record_size, const char* what);

}  // namespace quotix::reader
