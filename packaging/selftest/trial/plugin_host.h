// What a recording host needs of a write plug-in: the library loaded by path (LoadLibraryW or
// dlopen) with its nine exports bound by name, and UTF-16 strings. The trial host is built on
// it, and so are the tests that load the library.
#pragma once

#include "plugin_types.h"

#include <string>

namespace trial {

using WStr = std::basic_string<WCHAR>;

WStr W(const std::string& utf8);
std::string N(const WStr& wide);

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

}  // namespace trial
