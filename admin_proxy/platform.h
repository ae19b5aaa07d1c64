// The operating-system seam of VelmoraAdminProxy: ProxySystem, every effect the request logic
// (proxy_core.h) has on the system, one call per effect; and what the entry point needs to run
// the server. platform_win32.cpp implements it with the real calls; the tests implement
// ProxySystem with fakes of their own. No OS header.
#pragma once

#include <cstdint>

namespace proxy {

// Strings are UTF-16 units: wchar_t on Windows, char16_t elsewhere.
#ifdef _WIN32
using Unit = wchar_t;
#define PROXY_TEXT(s) L##s
#else
using Unit = char16_t;
#define PROXY_TEXT(s) u##s
#endif

// The message parameters and result as Windows spells them (WPARAM is UINT_PTR, LPARAM and
// LRESULT are LONG_PTR), so that they pass between the window procedure and the logic
// unconverted on either architecture; pointer-sized integers elsewhere.
#if defined(_WIN64)
using WParam = unsigned long long;
using LParam = long long;
#elif defined(_WIN32)
using WParam = unsigned int;
using LParam = long;
#else
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
#endif
using LResult = LParam;

// The entries of one enumeration of open resources. buffer is the system's and must go back
// through ReleaseOpenFiles whenever it is not null, whatever the enumeration's status.
struct OpenFileList {
    void* buffer = nullptr;
    std::uint32_t count = 0;   // entries read into buffer
};

// Everything the logic needs of the system, one call per effect.
class ProxySystem {
public:
    virtual ~ProxySystem() = default;

    // Compares two zero-terminated strings ignoring the case of A to Z only; 0 when equal.
    virtual int CompareNoCase(const Unit* a, const Unit* b) = 0;

    // Server side.
    // The present as UTC in 100-ns units since 1601-01-01.
    virtual std::int64_t NowUtc() = 0;
    // Sets the system clock to the UTC time filetime; false when the time cannot be converted
    // to a calendar time or the system refuses to set it.
    virtual bool SetClockUtc(std::int64_t filetime) = 0;
    // Starts (or restarts) the busy timer; false when the system could not create it.
    virtual bool StartBusyTimer() = 0;
    virtual void StopBusyTimer() = 0;
    // Asks the message loop to end once the current message is done.
    virtual void EndMessageLoop() = 0;
    // Lists every resource open through this computer's file server, all entries in one
    // buffer; true on success. On failure list->buffer may still hold a buffer to release.
    virtual bool EnumerateOpenFiles(OpenFileList* list) = 0;
    // The path of entry index (< list.count); may be null.
    virtual const Unit* OpenFilePath(const OpenFileList& list, std::uint32_t index) = 0;
    virtual void ReleaseOpenFiles(void* buffer) = 0;

    // Test-client side.
    // Looks for a proxy window and remembers it for SendRequest; false if there is none.
    virtual bool FindProxyWindow() = 0;
    // Sends a message to the window found and waits for its result.
    virtual LResult SendRequest(std::uint32_t message, WParam wParam, LParam lParam) = 0;
    // Shows text in a box captioned with the class name, with an OK button, until it is closed.
    virtual void ShowMessage(const Unit* text) = 0;
};

namespace plat {

// The system's ProxySystem, the one the program uses in every mode.
ProxySystem& System();

// Server mode: registers the window class, creates the proxy window, opens the message filter
// for the two requests and serves them on the message loop (the decisions are
// HandleProxyMessage's) until the window is destroyed. Returns at once if the window cannot be
// created.
void RunServer();

}  // namespace plat

}  // namespace proxy
