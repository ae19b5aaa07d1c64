// The installation check: looks at Quill_Spread.dll in a folder as the library will see itself
// when a recording host creates its first control: its file, its settings file, the nested
// plug-in those name, and the proxy and tools beside it. Files are read as bytes and the
// settings with the profile functions the library uses; nothing is loaded.
#include "checks.h"
#include "files.h"
#include "pe_image.h"
#include "report.h"
#include "win_process.h"

namespace selftest {
namespace {

const char* const plugin_exports[] = {"GetPlugInName", "Setting",   "CreateCtrl",
                                      "DeleteCtrl",    "StartSave", "StopSave",
                                      "GetSaveFilePath", "AddTSBuff", "DuplicateSave"};
// What the library resolves in a nested plug-in, by name; one missing and it writes files.
const char* const nested_functions[] = {"CreateCtrl", "DeleteCtrl",      "StartSave",
                                        "StopSave",   "GetSaveFilePath", "AddTSBuff"};
const wchar_t* const companions[] = {L"VelmoraAdminProxy.exe", L"brimtank.exe", L"tailgrip.exe",
                                     L"hopover.exe"};
const wchar_t* const written_directly = L": files will be written directly instead";

template <std::size_t N>
std::wstring Missing(const PeImage& image, const char* const (&names)[N])
{
    std::wstring missing;
    for (const char* name : names) {
        bool found = false;
        for (const std::string& e : image.exports)
            found = found || e == name;
        if (!found)
            missing += L" " + Wide(name);
    }
    return missing;
}

// The image of a file, or false with the problem.
bool ReadImage(const std::wstring& path, PeImage* image, std::wstring* problem)
{
    std::vector<unsigned char> bytes;
    if (!ReadWholeFile(path, &bytes, problem))
        return false;
    *image = ReadPeImage(bytes);
    *problem = Wide(image->problem);
    return problem->empty();
}

std::wstring Describe(const PeImage& image)
{
    return Wide(MachineName(image.machine)) + L", version " + Wide(VersionText(image));
}

// The path as the loader names a module: full, with long names.
std::wstring ModuleName(const std::wstring& path)
{
    std::wstring full = FullPath(path);
    wchar_t buffer[32768];
    DWORD n = GetLongPathNameW(full.c_str(), buffer, 32768);
    return n > 0 && n < 32768 ? std::wstring(buffer, n) : full;
}

class InstallCheck {
public:
    InstallCheck(const std::wstring& folder, const std::wstring& host)
        : dll_(Join(FullPath(folder), L"Quill_Spread.dll")), host_(host)
    {
    }
    int Run();

private:
    bool Library();
    void Host();
    void Settings();
    void Nested(const std::wstring& settings);
    void Proxy();
    void Companions();

    Report report_{L"PROBLEM"};
    std::wstring dll_, host_;
    PeImage image_;
};

bool InstallCheck::Library()
{
    std::wstring problem;
    if (!IsFile(dll_))
        return report_.Check(false, L"there is no Quill_Spread.dll: " + dll_,
                             L"Copy Quill_Spread.dll of the recording host's bitness (the x64 "
                             L"release for a 64-bit host, the x86 one for a 32-bit host) into "
                             L"the host's plug-in folder, and name that folder.");
    if (!ReadImage(dll_, &image_, &problem))
        return report_.Check(false, L"Quill_Spread.dll is damaged: " + problem,
                             L"Unpack it again from the release zip.");
    std::wstring missing = Missing(image_, plugin_exports);
    return report_.Check(image_.dll && missing.empty(),
                         L"Quill_Spread.dll: " + Describe(image_) +
                             L", the nine functions of a write plug-in",
                         L"It is no write plug-in of this release (it lacks" + missing +
                             L"): unpack Quill_Spread.dll again from the release zip.");
}

void InstallCheck::Host()
{
    PeImage host;
    std::wstring problem;
    if (!ReadImage(host_, &host, &problem)) {
        report_.Fail(L"the host " + host_ + L" cannot be read: " + problem,
                     L"Name the recording host's program file after /host.");
        return;
    }
    std::wstring bits = Wide(MachineName(host.machine));
    if (host.machine == image_.machine)
        report_.Ok(L"the host " + BaseName(host_) + L" is " + bits + L", as Quill_Spread.dll");
    else
        report_.Fail(L"the host " + BaseName(host_) + L" is " + bits + L", Quill_Spread.dll " +
                         Wide(MachineName(image_.machine)) +
                         L": a host loads only plug-ins of its own bitness",
                     L"Install Quill_Spread.dll of the release for " + bits + L".");
}

void InstallCheck::Settings()
{
    std::wstring settings = ModuleName(dll_) + L".ini";
    if (!IsFile(settings)) {
        report_.Ok(L"no settings file " + BaseName(settings) + L": files are written directly, "
                   L"outputs added while saving begin at the next 188-byte unit");
        return;
    }
    wchar_t raw[64];
    GetPrivateProfileStringW(L"SET", L"DataUnit", L"", raw, 64, settings.c_str());
    UINT read = GetPrivateProfileIntW(L"SET", L"DataUnit", 188, settings.c_str());
    UINT unit = read < 2 ? 1 : read;
    std::wstring begin = unit == 1 ? std::wstring(L"at any byte")
                                   : L"at the next " + Number(unit) + L"-byte unit";
    if (raw[0] == 0 || std::to_wstring(read) == raw)
        report_.Ok((raw[0] == 0 ? L"DataUnit is not set" : L"DataUnit=" + std::wstring(raw)) +
                   L": outputs added while saving begin " + begin);
    else
        report_.Fail(L"DataUnit=" + std::wstring(raw) + L" is no whole number: the library reads "
                     L"it as " + Number(read) + L", so outputs added while saving begin " + begin,
                     L"Write a whole number of bytes, such as 188 (one packet).");
    Nested(settings);
}

void InstallCheck::Nested(const std::wstring& settings)
{
    // The library reads 63 characters; a longer name is read cut short.
    wchar_t value[64], whole[1024];
    GetPrivateProfileStringW(L"SET", L"WritePlugin", L"", value, 64, settings.c_str());
    GetPrivateProfileStringW(L"SET", L"WritePlugin", L"", whole, 1024, settings.c_str());
    std::wstring name = value;
    std::wstring what = L"WritePlugin=" + name;
    if (name.empty() || name[0] == L';') {
        report_.Ok((name.empty() ? L"WritePlugin is not set" : what + L" is switched off by its "
                                                                      L"\";\"") +
                   std::wstring(L": files are written directly"));
        return;
    }
    if (name != whole) {
        report_.Fail(what + L" is cut short: the library reads 63 characters of it" +
                         written_directly,
                     L"Give the nested plug-in a shorter file name.");
        return;
    }
    // The name is joined to the folder of the library's long path, as the library does it.
    std::wstring path = settings.substr(0, settings.find_last_of(L"\\/") + 1) + name;
    if (path.size() >= 512) {
        report_.Fail(what + L" with the library's folder makes a path of " +
                         Number(path.size()) + L" characters; 511 are allowed" +
                         written_directly,
                     L"Install the plug-ins in a folder with a shorter path.");
        return;
    }
    // LoadLibraryW drops a trailing dot, and adds ".dll" to a name without an extension.
    std::wstring last = BaseName(path);
    if (!last.empty() && last.back() == L'.')
        path.pop_back();
    else if (last.find(L'.') == std::wstring::npos)
        path += L".dll";
    PeImage nested;
    std::wstring problem;
    if (!IsFile(path)) {
        report_.Fail(what + L": " + path + L" does not exist" + written_directly,
                     L"Copy the nested write plug-in there, or correct WritePlugin in " +
                         settings + L".");
    } else if (_wcsicmp(ModuleName(path).c_str(), ModuleName(dll_).c_str()) == 0) {
        report_.Fail(what + L" names Quill_Spread.dll itself" + written_directly,
                     L"Name the nested write plug-in, or put \";\" before the name to have "
                     L"files written directly.");
    } else if (!ReadImage(path, &nested, &problem)) {
        report_.Fail(what + L": " + path + L" is damaged (" + problem + L")" + written_directly,
                     L"Install an intact copy of the nested plug-in.");
    } else if (nested.machine != image_.machine) {
        report_.Fail(what + L" is " + Wide(MachineName(nested.machine)) +
                         L", Quill_Spread.dll " + Wide(MachineName(image_.machine)) +
                         L": it cannot be loaded" + written_directly,
                     L"Install the nested plug-in's build for " +
                         Wide(MachineName(image_.machine)) + L".");
    } else if (!Missing(nested, nested_functions).empty()) {
        report_.Fail(what + L" lacks functions by name:" + Missing(nested, nested_functions) +
                         written_directly,
                     L"Name a write plug-in that exports CreateCtrl, DeleteCtrl, StartSave, "
                     L"StopSave, GetSaveFilePath and AddTSBuff.");
    } else {
        report_.Ok(what + L": " + Describe(nested) +
                   L", with the six functions: outputs are saved through it");
    }
}

void InstallCheck::Proxy()
{
    HWND proxy = FindWindowExW(HWND_MESSAGE, nullptr, L"VelmoraAdminProxy", nullptr);
    if (proxy == nullptr) {
        report_.Ok(L"no proxy runs (a program that asks it to set the clock or about open files "
                   L"needs VelmoraAdminProxy.exe started elevated)");
        return;
    }
    // The open-file query for "txt": the extension's characters in the bytes of wParam.
    DWORD_PTR answer = 0;
    LRESULT sent = SendMessageTimeoutW(proxy, WM_APP + 1, 't' | 'x' << 8 | 't' << 16, 0,
                                       SMTO_ABORTIFHUNG, 10000, &answer);
    LONG_PTR result = sent != 0 ? static_cast<LONG_PTR>(answer) : 0;
    report_.Check(result == 1 || result == -1,
                  L"a proxy runs and answers the open-file query for txt: " +
                      std::to_wstring(static_cast<long long>(result)),
                  L"0 means it was not delivered: end that proxy and start VelmoraAdminProxy.exe "
                  L"of this release again, elevated (see README.txt).");
}

void InstallCheck::Companions()
{
    std::wstring absent;
    for (const wchar_t* name : companions) {
        std::wstring path = Join(Parent(dll_), name);
        PeImage image;
        std::wstring problem;
        if (!IsFile(path))
            absent += std::wstring(L" ") + name;
        else if (!ReadImage(path, &image, &problem))
            report_.Fail(std::wstring(name) + L" is damaged: " + problem,
                         L"Unpack it again from the release zip.");
        else
            report_.Ok(std::wstring(name) + L": " + Describe(image));
    }
    if (!absent.empty())
        Report::Note(L"not beside Quill_Spread.dll:" + absent);
}

int InstallCheck::Run()
{
    Print(L"Installation check of " + dll_);
    if (Library()) {
        if (!host_.empty())
            Host();
        Settings();
    }
    Proxy();
    Companions();
    return report_.Summary();
}

}  // namespace

int RunInstallCheck(const std::wstring& folder, const std::wstring& host)
{
    return InstallCheck(folder, host).Run();
}

}  // namespace selftest
