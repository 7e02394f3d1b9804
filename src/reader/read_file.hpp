// Reading a whole local data file into memory, for the file forms of the parsers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.hpp"

namespace quotix::reader {

// The file's bytes, read in one go. Every failure is TdxError::Io with the system's description
// and errno ("No such file or directory (os error 2)"); a path holding a NUL byte is refused
// before the system sees it.
Result<std::vector<uint8_t>> read_file_bytes(const std::string& path);

}  // namespace quotix::reader
