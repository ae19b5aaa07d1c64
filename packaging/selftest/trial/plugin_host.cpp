// A write plug-in loaded by path; see plugin_host.h.
#include "plugin_host.h"

#ifdef _WIN32
#include "selftest/win_process.h"
#else
#include "utf16_convert.h"

#include <dlfcn.h>
#endif

namespace trial {

#ifdef _WIN32
WStr W(const std::string& utf8)
{
    return selftest::Wide(utf8);
}

std::string N(const WStr& wide)
{
    return selftest::Utf8(wide);
}
#else
WStr W(const std::string& utf8)
{
    return utf16::Widen(utf8);
}

std::string N(const WStr& wide)
{
    return utf16::Narrow(wide.c_str());
}
#endif

namespace {
template <typename Fn>
void Bind(void* module, const char* name, Fn* into)
{
#ifdef _WIN32
    *into = reinterpret_cast<Fn>(
        reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(module), name)));
#else
    *into = reinterpret_cast<Fn>(dlsym(module, name));
#endif
}
}  // namespace

bool PlugInLibrary::Load(const std::string& path)
{
    Unload();
#ifdef _WIN32
    module_ = LoadLibraryW(W(path).c_str());
#else
    module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (module_ == nullptr)
        return false;
    Bind(module_, "GetPlugInName", &api_.GetPlugInName);
    Bind(module_, "Setting", &api_.Setting);
    Bind(module_, "CreateCtrl", &api_.CreateCtrl);
    Bind(module_, "DeleteCtrl", &api_.DeleteCtrl);
    Bind(module_, "StartSave", &api_.StartSave);
    Bind(module_, "StopSave", &api_.StopSave);
    Bind(module_, "GetSaveFilePath", &api_.GetSaveFilePath);
    Bind(module_, "AddTSBuff", &api_.AddTSBuff);
    Bind(module_, "DuplicateSave", &api_.DuplicateSave);
    return true;
}

void PlugInLibrary::Unload()
{
    if (module_ == nullptr)
        return;
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(module_));
#else
    dlclose(module_);
#endif
    module_ = nullptr;
    api_ = PlugInApi();
}

WStr PlugInLibrary::SavePath(DWORD id) const
{
    DWORD size = 0;
    if (!api_.GetSaveFilePath(id, nullptr, &size) || size == 0)
        return W("?");
    WStr path(size, 0);
    DWORD capacity = size;
    if (!api_.GetSaveFilePath(id, &path[0], &capacity))
        return W("?");
    path.resize(size - 1);
    return path;
}

}  // namespace trial
