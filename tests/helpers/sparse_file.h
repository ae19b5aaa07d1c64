// Test support: files of several GiB that cost neither time nor disk.
#pragma once

#include <cstdint>
#include <string>

namespace test_support {

// Writes bytes at offset of path, creating the file or keeping what it holds. What lies before
// offset and was never written stays a hole (on Windows the file is marked sparse first), so a
// file that ends beyond 4 GiB is made by a seek, never by writing gigabytes.
bool WriteBytesAt(const std::string& path, std::uint64_t offset, const std::string& bytes);

}  // namespace test_support
