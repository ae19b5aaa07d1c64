// The Win32 names that the plug-in interface and the records are written in, for builds that
// have no Windows headers. Strings are UTF-16 units here too, so WCHAR is char16_t.
#pragma once

#include <cstdint>

typedef std::int32_t BOOL;
typedef std::uint32_t DWORD;
typedef char16_t WCHAR;
typedef void* HANDLE;
typedef void* HMODULE;
typedef void* HWND;
typedef std::intptr_t INT_PTR;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

// No calling convention to choose on the POSIX ABIs.
#define WINAPI

typedef std::uint8_t BYTE;
typedef std::uint64_t ULONGLONG;
typedef std::uint32_t UINT;
