// The self-test's checks of the proxy: it starts the release's proxy and sends it requests
// with the trial sender, as a less-privileged program would; elevated, also the requests that
// act on this computer's clock and file server, and requests from medium integrity.
#include "release_checks.h"
#include "windows_checks.h"

#include <winsafer.h>

namespace selftest {
namespace {

const wchar_t* const proxy_window = L"the proxy's window";

bool RunsElevated()
{
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    bool elevated = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                    GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation,
                                        &size) &&
                    elevation.TokenIsElevated != 0;
    if (token != nullptr)
        CloseHandle(token);
    return elevated;
}

// A token for a process at medium integrity, as an ordinary user's program on this desktop has.
HANDLE MediumIntegrityToken(std::wstring* cause)
{
    SAFER_LEVEL_HANDLE level = nullptr;
    HANDLE token = nullptr;
    if (!SaferCreateLevel(SAFER_SCOPEID_USER, SAFER_LEVELID_NORMALUSER, SAFER_LEVEL_OPEN, &level,
                          nullptr)) {
        *cause = L"SaferCreateLevel: " + SystemMessage(GetLastError());
        return nullptr;
    }
    BOOL made = SaferComputeTokenFromLevel(level, nullptr, &token, 0, nullptr);
    DWORD error = GetLastError();
    SaferCloseLevel(level);
    TOKEN_TYPE type;
    DWORD size;
    if (made && !GetTokenInformation(token, TokenType, &type, sizeof type, &size)) {
        error = GetLastError();
        made = FALSE;
    }
    if (!made) {
        *cause = L"SaferComputeTokenFromLevel gave no token: " + SystemMessage(error);
        return nullptr;
    }
    // The normal-user level drops the administrators' rights but keeps the high integrity
    // level: the label is lowered to medium here.
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
    PSID medium = nullptr;
    TOKEN_MANDATORY_LABEL label = {};
    bool labelled = AllocateAndInitializeSid(&authority, 1, SECURITY_MANDATORY_MEDIUM_RID, 0, 0,
                                             0, 0, 0, 0, 0, &medium);
    if (labelled) {
        label.Label.Attributes = SE_GROUP_INTEGRITY;
        label.Label.Sid = medium;
        labelled = SetTokenInformation(token, TokenIntegrityLevel, &label,
                                       sizeof label + GetLengthSid(medium));
    }
    error = GetLastError();
    if (medium != nullptr)
        FreeSid(medium);
    if (!labelled) {
        *cause = L"setting the medium integrity level: " + SystemMessage(error);
        CloseHandle(token);
        return nullptr;
    }
    return token;
}

}  // namespace

std::wstring Answer(const Ran& ran, std::wstring* cause)
{
    std::wstring answer = Wide(ran.output);
    while (!answer.empty() && (answer.back() == L'\n' || answer.back() == L'\r'))
        answer.pop_back();
    if (!ran.started)
        *cause = ran.cause;
    else if (ran.code != 0)
        *cause = L"proxy_send.exe found no proxy window (exit code " + Number(ran.code) + L")";
    else if (answer == L"0")
        *cause = L"the proxy answered 0: the request was not delivered (a message filter or a "
                 L"proxy running at a higher integrity level refused it)";
    else
        *cause = L"the proxy answered " + answer +
                 L" (1: done or found, -1: refused, not found or failed)";
    return ran.started && ran.code == 0 ? answer : std::wstring();
}

// Sends a request with proxy_send to the proxy that the self-test started; passes when it
// answered expected.
bool SelfTest::Ask(const std::wstring& expected, const std::vector<std::wstring>& request,
                   const std::wstring& what, HANDLE token)
{
    return Check({proxy_window}, nullptr, what, [&](std::wstring* cause) {
        return Answer(RunCaptured(Trial(L"proxy_send.exe"), request, short_wait, token), cause) ==
               expected;
    });
}

// The requests that act on this computer's clock and file server.
void SelfTest::ProxyElevated(bool underWine)
{
    Report::Note(L"elevated: the next checks set this computer's clock to the present and ask "
                 L"its file server");
    // wine sets the clock only within half a second of its own reading, so a request held up
    // that long is refused; a refusal begins no busy period, so it is sent up to three times.
    ClockWatch clock;
    bool set =
        Check({proxy_window}, nullptr, L"set-time request for the present: the clock was set (1)",
              [&](std::wstring* cause) {
                  std::wstring answer;
                  for (int tries = 0; tries < 3 && answer != L"1"; ++tries)
                      answer = Answer(
                          RunCaptured(Trial(L"proxy_send.exe"), {L"settime"}, short_wait), cause);
                  return answer == L"1";
              });
    clock.Check(report_, set);
    Ask(L"-1", {L"settime"}, L"the same again at once: refused while busy for 30 s (-1)");
    const std::wstring query = L"open-file query for txt";
    if (Ready({proxy_window}, query)) {
        std::wstring cause;
        std::wstring answer =
            Answer(RunCaptured(Trial(L"proxy_send.exe"), {L"query", L"txt"}, short_wait), &cause);
        if (answer == L"1")
            report_.Ok(query + L": answered 1, a .txt file is open through this computer's file "
                               L"server");
        else
            report_.Check(answer == L"-1",
                          query + L": answered -1, no .txt file is open through the file server, "
                                  L"or listing failed",
                          cause);
    }
    CheckProxyOnWindows(report_, {Release(L"Quill_Spread.dll"), Trial(L"quill_record_host.exe"),
                                  Trial(L"proxy_send.exe"), work_, Blocked({proxy_window})});

    // From an ordinary user's program: the proxy's message filter must let the requests in.
    std::wstring cause;
    HANDLE token = Blocked({proxy_window}).empty() ? MediumIntegrityToken(&cause) : nullptr;
    if (token == nullptr && underWine && !cause.empty()) {
        Report::Note(L"under wine: " + cause + L". wine has no integrity levels and no message "
                     L"filter either: the requests from medium integrity were not sent");
        return;
    }
    if (token == nullptr && !cause.empty()) {
        report_.Fail(L"a process at medium integrity was started to send requests", cause);
        return;
    }
    Ask(L"-1", {L"settime", L"172800"},
        L"from a process at medium integrity, set-time request 48 hours ahead: refused (-1), not "
        L"blocked (0)",
        token);
    Ask(L"-1", {L"query", L"t.t"},
        L"from a process at medium integrity, open-file query for t.t: refused (-1), not "
        L"blocked (0)",
        token);
    if (token != nullptr)
        CloseHandle(token);
    if (underWine && token != nullptr)
        Report::Note(L"under wine: wine has no integrity levels and no message filter, so these "
                     L"two show only that the requests arrive, not that the filter lets them in");
}

void SelfTest::Proxy()
{
    const Needs needs = {L"VelmoraAdminProxy.exe", L"proxy_send.exe"};
    if (Blocked(needs).empty() &&
        RunCaptured(Trial(L"proxy_send.exe"), {L"find"}, short_wait).code == 0) {
        Report::Note(L"skip the proxy: one is running already (end it to check the one of this "
                     L"release)");
        return;
    }
    Child proxy;
    Check(needs, proxy_window, L"VelmoraAdminProxy.exe started, its window is found",
          [&](std::wstring* cause) {
              std::wstring started;
              if (proxy.Start(Release(L"VelmoraAdminProxy.exe"), {}, StartOptions(), &started)) {
                  DWORD start = GetTickCount();
                  while (FindWindowExW(HWND_MESSAGE, nullptr, L"VelmoraAdminProxy", nullptr) ==
                             nullptr &&
                         proxy.Running() && GetTickCount() - start < short_wait)
                      proxy.Wait(50);
                  started = proxy.Running() ? L"no proxy window appeared within 10 s"
                                            : ExitText(L"VelmoraAdminProxy", proxy.ExitCode()) +
                                                  L" before its window appeared";
              }
              bool found = Answer(RunCaptured(Trial(L"proxy_send.exe"), {L"find"}, short_wait),
                                  cause) == L"1";
              *cause += L"\n" + started;
              return found;
          });
    Ask(L"-1", {L"settime", L"172800"}, L"set-time request 48 hours ahead: refused (-1)");
    Ask(L"-1", {L"query", L"t.t"}, L"open-file query for the invalid extension t.t: refused (-1)");
    if (RunsElevated())
        ProxyElevated(RunsUnderWine());
    else
        Report::Note(L"skip the set-time request for the present, the open-file query, the file "
                     L"server's share and the requests from medium and low integrity: not "
                     L"elevated (run it from a prompt opened with \"Run as administrator\" to "
                     L"check them)");
    Check({proxy_window}, nullptr, L"WM_CLOSE ended the proxy", [&](std::wstring* cause) {
        RunCaptured(Trial(L"proxy_send.exe"), {L"close"}, short_wait);
        *cause = L"it still ran after 10 s and was ended";
        return proxy.Finish(short_wait);
    });
}

}  // namespace selftest
