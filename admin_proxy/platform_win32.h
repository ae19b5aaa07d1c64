// The Windows implementation of the proxy's ProxySystem: the clock, the busy timer of the proxy
// window, the file server's list of open resources, and the test clients' lookup, request and
// message box.
#pragma once

#include "proxy_core.h"

#include <windows.h>
#include <lm.h>

namespace proxy {

class Win32ProxySystem : public ProxySystem {
public:
    // The proxy window, once created; the busy timer belongs to it.
    void SetWindow(HWND window) { window_ = window; }

    int CompareNoCase(const Unit* a, const Unit* b) override;
    std::int64_t NowUtc() override;
    bool SetClockUtc(std::int64_t filetime) override;
    bool StartBusyTimer() override;
    void StopBusyTimer() override;
    void EndMessageLoop() override;
    bool EnumerateOpenFiles(OpenFileList* list) override;
    const Unit* OpenFilePath(const OpenFileList& list, std::uint32_t index) override;
    void ReleaseOpenFiles(void* buffer) override;
    bool FindProxyWindow() override;
    LResult SendRequest(std::uint32_t message, WParam wParam, LParam lParam) override;
    void ShowMessage(const Unit* text) override;

private:
    // Loads the file server's functions on the first call; false when they cannot be had.
    bool HaveNetApi();

    HWND window_ = nullptr;   // the proxy window in server mode, the one found in a client
    bool netapi_tried_ = false;
    decltype(&NetFileEnum) net_file_enum_ = nullptr;
    decltype(&NetApiBufferFree) net_api_buffer_free_ = nullptr;
};

}  // namespace proxy
