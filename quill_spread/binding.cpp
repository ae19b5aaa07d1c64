// The binding rules of binding.h.
#include "binding.h"

#include "state.h"  // the string loops

namespace {

const WCHAR settings_suffix[] = QTEXT(".ini");
const WCHAR loader_suffix[] = QTEXT(".dll");
static_assert(sizeof settings_suffix / sizeof(WCHAR) - 1 == MAX_SAVE_PATH - OWN_PATH_CAPACITY,
              "the suffix fills the room left");
static_assert(sizeof loader_suffix / sizeof(WCHAR) - 1 == LOADER_PATH_CAPACITY - MAX_SAVE_PATH,
              "the loader's suffix fills the room left");

bool IsSeparator(WCHAR c)
{
    return c == '\\' || c == '/';
}

}  // namespace

bool SettingsPathOf(const WCHAR* own, DWORD ownLength, WCHAR* settings)
{
    if (ownLength == 0 || ownLength >= OWN_PATH_CAPACITY)
        return false;
    TextCopy(settings, own);
    TextCopy(settings + ownLength, settings_suffix);
    return true;
}

UINT DataUnitOf(UINT read)
{
    return read < 2 ? 1 : read;
}

NestedChoice NestedPluginPath(WCHAR* path, const WCHAR* value, DWORD* length)
{
    if (value[0] == 0)
        return NestedChoice::unset;
    if (value[0] == ';')
        return NestedChoice::switched_off;
    // Cut the path back to its folder, keeping the separator; without one nothing is left.
    int folderLength = TextLength(path);
    while (folderLength > 0 && !IsSeparator(path[folderLength - 1]))
        path[--folderLength] = 0;
    *length = static_cast<DWORD>(folderLength + TextLength(value));
    if (*length >= MAX_SAVE_PATH)
        return NestedChoice::too_long;
    TextCopy(path + folderLength, value);
    return NestedChoice::load;
}

void LoaderFileName(WCHAR* path)
{
    int length = TextLength(path);
    int name = length;
    bool dotted = false;
    while (name > 0 && !IsSeparator(path[name - 1]))
        dotted = path[--name] == '.' || dotted;
    if (length > name && path[length - 1] == '.')
        path[length - 1] = 0;
    else if (!dotted)
        TextCopy(path + length, loader_suffix);
}
