// Reading a whole local data file into memory for the readers, and the record-size check their
// parsers share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace quotix::reader {

// The file's bytes, read in one go. Every failure is TdxError::Io with the system's description
// and errno ("No such file or directory (os error 2)"); a path holding a NUL byte is refused
// before the system sees it.
Result<std::vector<uint8_t>> read_file_bytes(const std::string& path);

// Refuses data that is not a whole number of `record_size`-byte records, as InvalidData
// "{what} file size {size} is not a multiple of {record_size}".
Status check_whole_records(size_t size, size_t record_size, const char* what);

}  // namespace quotix::reader
