// The operating-system seam of VelmoraAdminProxy: every effect the request logic
// (proxy_core.h) has on the system, named by what it is for. The functions are bound at link
// time: platform_win32.cpp in the program, a test's own platform file in a test. No OS header.
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

namespace plat {

// Start-up, in the order the core calls them.
// Takes the current directory out of the search for libraries loaded from now on. Called
// before anything else, in every mode.
void KeepLibrariesOutOfCurrentFolder();
// Registers the proxy window's class and creates the message-only proxy window; false when
// the window could not be created.
bool CreateProxyWindow();
// Lets processes of a lower integrity level send message into this process.
void AdmitFromLowerIntegrity(std::uint32_t message);
// Serves the proxy window's messages (the decisions are HandleProxyMessage's) until the loop
// is asked to end or fails.
void RunMessageLoop();

// Server side.
// The present as UTC in 100-ns units since 1601-01-01.
std::int64_t NowUtc();
// Sets the system clock to the UTC time filetime; false when the time cannot be converted to
// a calendar time or the system refuses to set it.
bool SetClockUtc(std::int64_t filetime);
// Starts (or restarts) the busy timer; false when the system could not create it.
bool StartBusyTimer();
void StopBusyTimer();
// Asks the message loop to end once the current message is done.
void EndMessageLoop();
// Lists every resource open through this computer's file server, all entries in one buffer;
// true on success. On failure list->buffer may still hold a buffer to release.
bool EnumerateOpenFiles(OpenFileList* list);
// The path of entry index (< list.count); may be null.
const Unit* OpenFilePath(const OpenFileList& list, std::uint32_t index);
void ReleaseOpenFiles(void* buffer);

// Test-client side.
// Looks for a proxy window and remembers it for SendRequest; false if there is none.
bool FindProxyWindow();
// Sends a message to the window found and waits for its result.
LResult SendRequest(std::uint32_t message, WParam wParam, LParam lParam);
// Shows text in a box captioned with the class name, with an OK button, until it is closed.
void ShowMessage(const Unit* text);

}  // namespace plat

}  // namespace proxy
