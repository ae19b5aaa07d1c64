// Test support for Quill_Spread: a write plug-in loaded by path as the trial host loads it
// (selftest/trial/plugin_host.h), and a scratch directory holding a private copy of the library
// with its settings file and any nested plug-in beside it, so every test starts from a freshly
// loaded library.
#pragma once

#include "selftest/trial/plugin_host.h"

#include <string>
#include <vector>

namespace quill_test {

using trial::N;
using trial::PlugInApi;
using trial::PlugInLibrary;
using trial::W;
using trial::WStr;

#ifdef _WIN32
constexpr const char* library_suffix = ".dll";
#else
constexpr const char* library_suffix = ".so";
#endif

// Whether the library at path is loaded in this process (without loading it).
bool IsLoaded(const std::string& path);

// Whether any handle of this process (or, on Windows, of any process) keeps path open for
// writing: on Windows an open for writing is then refused by the share mode.
bool HeldForWriting(const std::string& path);

bool CopyFileBytes(const std::string& from, const std::string& to);
// The whole file, read in large blocks (fast also in the sanitizer builds); empty if missing.
std::string ReadBytes(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);
// Separator of this platform's paths.
std::string Sep();
// Creates the folder path (its parent must exist); false when it could not.
bool MakeDir(const std::string& path);
// Creates folders below base (which must be at least two units shorter) so that the directory
// returned is exactly length units long.
std::string DirOfLength(const std::string& base, std::size_t length);

}  // namespace quill_test
