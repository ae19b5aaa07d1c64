// The operating-system seam of VelmoraAdminProxy: every effect the request logic has on the
// system, named by what it is for; the logic hands in what the system calls back. The functions are bound at link
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

// Message numbers as the platform defines them (platform_win32.cpp checks them against its
// headers). The two requests are fixed numbers, not registered messages, so that senders need
// no lookup.
constexpr std::uint32_t msg_destroy = 0x0002;           // WM_DESTROY
constexpr std::uint32_t msg_timer = 0x0113;             // WM_TIMER
constexpr std::uint32_t msg_set_time = 0x8000;          // WM_APP: the set-time request
constexpr std::uint32_t msg_open_file_query = 0x8001;   // WM_APP + 1: the open-file query

// The busy timer: identifier 1 of the proxy window, expiring every 30 s until stopped.
constexpr WParam busy_timer_id = 1;
constexpr std::uint32_t busy_timer_ms = 30000;

// The proxy window's procedure, less the default handling: true with *result set when the
// message is answered, false when it goes on to the system's default procedure.
using MessageHandler = bool (*)(std::uint32_t message, WParam wParam, LParam lParam,
                                LResult* result);

// Whether a path, zero-terminated, is one the caller looks for; context is the caller's.
using PathTest = bool (*)(const Unit* path, const void* context);

// The outcome of a search of the open resources.
enum class OpenFileSearch { found, none, failed };

namespace plat {

// Start-up, in the order the core calls them.
// Takes the current directory out of the search for libraries loaded from now on. Called
// before anything else, in every mode.
void KeepLibrariesOutOfCurrentFolder();
// Registers the proxy window's class and creates the message-only proxy window, whose messages
// go to handler first; false when the window could not be created.
bool CreateProxyWindow(MessageHandler handler);
// Lets processes of a lower integrity level send message into this process.
void AdmitFromLowerIntegrity(std::uint32_t message);
// Serves the proxy window's messages until the loop is asked to end or fails.
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
// Lists every resource open through this computer's file server, all at once, and asks
// matches about each path in the order listed until it says yes: found, none when it never
// does (also when nothing is open), failed when the system gives no list.
OpenFileSearch FindOpenFile(PathTest matches, const void* context);

// Test-client side.
// Looks for a proxy window and remembers it for SendRequest; false if there is none.
bool FindProxyWindow();
// Sends a message to the window found and waits for its result.
LResult SendRequest(std::uint32_t message, WParam wParam, LParam lParam);
// Shows text in a box captioned with the class name, with an OK button, until it is closed.
void ShowMessage(const Unit* text);

}  // namespace plat

}  // namespace proxy
