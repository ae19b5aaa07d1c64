// Test support for Quill_Spread: a write plug-in loaded by path (LoadLibraryW or dlopen) with
// its nine exports bound by name, as a recording host binds them; UTF-16 strings; and a
// scratch directory holding a private copy of the library with its settings file and any
// nested plug-in beside it, so every test starts from a freshly loaded library.
#pragma once

#include "plugin_types.h"

#include <string>
#include <vector>

namespace quill_test {

using WStr = std::basic_string<WCHAR>;

WStr W(const std::string& utf8);
std::string N(const WStr& wide);

#ifdef _WIN32
constexpr const char* library_suffix = ".dll";
#else
constexpr const char* library_suffix = ".so";
#endif

struct PlugInApi {
    BOOL(WINAPI* GetPlugInName)(WCHAR*, DWORD*) = nullptr;
    INT_PTR(WINAPI* Setting)(HWND) = nullptr;
    BOOL(WINAPI* CreateCtrl)(DWORD*) = nullptr;
    BOOL(WINAPI* DeleteCtrl)(DWORD) = nullptr;
    BOOL(WINAPI* StartSave)(DWORD, const WCHAR*, BOOL, ULONGLONG) = nullptr;
    BOOL(WINAPI* StopSave)(DWORD) = nullptr;
    BOOL(WINAPI* GetSaveFilePath)(DWORD, WCHAR*, DWORD*) = nullptr;
    BOOL(WINAPI* AddTSBuff)(DWORD, const BYTE*, DWORD, DWORD*) = nullptr;
    BOOL(WINAPI* DuplicateSave)(const WCHAR*, DWORD*, WCHAR*, DWORD, int, ULONGLONG) = nullptr;
};

// A loaded library. Missing exports stay null.
class PlugInLibrary {
public:
    PlugInLibrary() = default;
    ~PlugInLibrary() { Unload(); }
    PlugInLibrary(const PlugInLibrary&) = delete;
    PlugInLibrary& operator=(const PlugInLibrary&) = delete;

    bool Load(const std::string& path);
    void Unload();
    bool loaded() const { return module_ != nullptr; }
    const PlugInApi& api() const { return api_; }

    // The path output 1 of control id got, through the size protocol.
    WStr SavePath(DWORD id) const;

private:
    void* module_ = nullptr;
    PlugInApi api_;
};

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
