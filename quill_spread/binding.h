// How the settings bind the library: from the values of DataUnit and WritePlugin to the data
// unit and to the nested plug-in's path, or none; the names the library exports and the ones
// it resolves in a nested plug-in. Stated once, for the library (controls.cpp) and for the
// installation check of the self-test, which judges an installation by these same rules while
// it reads only files. Portable: nothing here calls the system.
#pragma once

#include "platform.h"
#include "quill_exports.h"  // generated from Quill_Spread.def: QUILL_EXPORT_NAMES

// The longest path the library keeps, terminator included: the settings path, the path of the
// nested plug-in, an output's path.
constexpr DWORD MAX_SAVE_PATH = 512;
// Room for the library's own long path: ".ini" and the terminator still fit MAX_SAVE_PATH.
constexpr DWORD OWN_PATH_CAPACITY = MAX_SAVE_PATH - 4;

// DataUnit when the key is missing or the file is, one transport-stream packet; as the text
// that Setting writes too.
constexpr UINT DEFAULT_DATA_UNIT = 188;
static_assert(DEFAULT_DATA_UNIT >= 100 && DEFAULT_DATA_UNIT <= 999, "three digits below");
inline constexpr WCHAR default_data_unit_text[] = {
    static_cast<WCHAR>('0' + DEFAULT_DATA_UNIT / 100),
    static_cast<WCHAR>('0' + DEFAULT_DATA_UNIT / 10 % 10),
    static_cast<WCHAR>('0' + DEFAULT_DATA_UNIT % 10), 0};
// WritePlugin as Setting writes it: a sibling plug-in, switched off by the leading ';'.
inline constexpr WCHAR default_write_plugin[] = QTEXT(";Quill_Basic.dll");
// WritePlugin is read into this many units: a longer value is read cut to one unit less.
constexpr DWORD WRITE_PLUGIN_CAPACITY = 64;

// The library's exports by their plain names, as Quill_Spread.def lists them.
inline constexpr const char* const export_names[] = {QUILL_EXPORT_NAMES};

// The functions resolved by name in a nested plug-in, in this order; one missing and the
// library writes files itself.
enum NestedFunction {
    NESTED_CREATE_CTRL,
    NESTED_DELETE_CTRL,
    NESTED_START_SAVE,
    NESTED_STOP_SAVE,
    NESTED_GET_SAVE_FILE_PATH,
    NESTED_ADD_TS_BUFF,
    NESTED_FUNCTION_COUNT
};
inline constexpr const char* const nested_function_names[NESTED_FUNCTION_COUNT] = {
    "CreateCtrl", "DeleteCtrl", "StartSave", "StopSave", "GetSaveFilePath", "AddTSBuff"};

// The settings path of a library whose long path is own (ownLength units, 0 when it could not
// be told): own with ".ini" appended, written into settings (MAX_SAVE_PATH units). false when
// there is none: the path is unknown or leaves no room, and no settings are read.
bool SettingsPathOf(const WCHAR* own, DWORD ownLength, WCHAR* settings);

// The data unit that DataUnit's value (read with DEFAULT_DATA_UNIT for a missing key) gives.
UINT DataUnitOf(UINT read);

// What WritePlugin's value, as read into WRITE_PLUGIN_CAPACITY units, makes of the library.
enum class NestedChoice {
    unset,         // empty: files are written directly
    switched_off,  // begins with ';': files are written directly
    too_long,      // joined to the library's folder it reaches MAX_SAVE_PATH: files directly
    load,          // the nested plug-in at the path formed is to be loaded
};
// path holds the settings path (MAX_SAVE_PATH units); for load it is turned in place into the
// nested plug-in's path: value joined to the folder of the path, the last backslash or forward
// slash kept. *length receives the joined path's length for load and too_long.
NestedChoice NestedPluginPath(WCHAR* path, const WCHAR* value, DWORD* length);

// The file that LoadLibraryW opens for path, in place: a trailing dot of the last name is
// dropped, and a last name without any dot gets ".dll"; path has room for 4 units more. The
// library leaves this to the loader; the installation check looks for that file.
constexpr DWORD LOADER_PATH_CAPACITY = MAX_SAVE_PATH + 4;
void LoaderFileName(WCHAR* path);
