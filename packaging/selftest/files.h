// Paths and files of the self-test and the installation check on Windows.
#pragma once

#include <string>
#include <vector>

namespace selftest {

std::wstring Join(const std::wstring& folder, const std::wstring& name);
std::wstring Parent(const std::wstring& path);
std::wstring BaseName(const std::wstring& path);
std::wstring FullPath(const std::wstring& path);
bool IsFile(const std::wstring& path);
// The whole file, shared for writing and deleting (a child may still hold it); false with the
// cause when it cannot be read.
bool ReadWholeFile(const std::wstring& path, std::vector<unsigned char>* bytes,
                   std::wstring* cause);

}  // namespace selftest
