// Test support: scratch directories and whole-file helpers, the same in both builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace test_support {

// A fresh empty directory for one test program, removed with everything in it at destruction.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& tag);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const;  // path of name inside the directory

private:
    std::string path_;
};

bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool AppendFileBytes(const std::string& path, const std::string& bytes);
// The whole file; found is false if it could not be opened.
std::string ReadFileBytes(const std::string& path, bool* found = nullptr);
bool FileExists(const std::string& path);

// Deterministic bytes that differ with position and seed and include CR, LF and Ctrl-Z, so a
// text-mode stream, a lost or a repeated block all show up in a comparison.
std::string PatternBytes(std::size_t size, std::uint32_t seed);

}  // namespace test_support
