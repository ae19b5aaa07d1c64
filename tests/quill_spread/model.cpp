// The reference model of Quill_Spread's exports (see model.h), and the nested plug-in inside the
// test program that it drives in nested mode.
#include "model.h"

#include "plugin_library.h"
#include "state.h"
#include "test_files.h"
#include "test_platform.h"
#include "utf16_convert.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace quill_model {

std::uint32_t ByteChoices::Pick(std::uint32_t n)
{
    if (n <= 1)
        return 0;
    std::size_t want = n <= 0x100 ? 1 : n <= 0x10000 ? 2 : 4;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < want && size_ > 0; ++i, ++data_, --size_)
        value = value << 8 | *data_;
    return value % n;
}

namespace {

using U16 = std::u16string;

std::string Narrow(const U16& s)
{
    return utf16::Narrow(s.c_str());
}
U16 Ascii(const std::string& s)
{
    return U16(s.begin(), s.end());
}
std::string Num(std::uint64_t n)
{
    return std::to_string(n);
}
// ASCII case folding, as the library compares paths on POSIX.
U16 Folded(U16 s)
{
    for (char16_t& c : s) {
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return s;
}
U16 Upper(U16 s)
{
    for (char16_t& c : s) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return s;
}

// The stream the buffers are cut from, one for every run.
constexpr std::uint32_t largest_buffer = 70000;
const std::string& Stream()
{
    static const std::string stream = test_support::PatternBytes(1 << 18, 5);
    return stream;
}

// The nested plug-in: it keeps every control it handed out with what it was given, fails the
// calls planned for it, and notes the first call that breaks the nested contract (a call for a
// control in the wrong state, anything but DeleteCtrl right after StopSave).
namespace inner {

enum Call { call_create, call_start, call_path, call_feed, call_kinds };

// The nested plug-in names its file itself: the path it was given with this appended.
const char16_t mark[] = u"!";

struct Ctrl {
    enum State { created, saving, stopped, deleted } state = created;
    U16 path;  // as StartSave got it
    BOOL overwrite = 0;
    ULONGLONG startParam = 0;
    std::string data;
};

// One AddTSBuff call, to check that the host's own buffer and counter came through.
struct Feed {
    DWORD id;
    const BYTE* data;
    DWORD size;
    DWORD* writeSize;
    bool operator==(const Feed& o) const
    {
        return id == o.id && data == o.data && size == o.size && writeSize == o.writeSize;
    }
};

struct Plugin {
    std::map<DWORD, Ctrl> ctrls;
    DWORD nextId = 1;
    DWORD mustDelete = 0;                       // stopped: DeleteCtrl of it must come next
    std::set<std::pair<int, int>> failures;     // (call, n): the n-th such call of a step fails
    int counts[call_kinds] = {};
    bool refuseClosing = false;                 // StopSave and DeleteCtrl act but answer 0
    std::vector<Feed> feeds;
    std::string violation;
};
Plugin plugin;

void Violation(const std::string& what)
{
    if (plugin.violation.empty())
        plugin.violation = what;
}

bool Planned(Call call)
{
    return plugin.failures.count({call, plugin.counts[call]++}) != 0;
}

// The control id names in the state a call needs, or null (a violation).
Ctrl* Find(const char* call, DWORD id, Ctrl::State state)
{
    if (plugin.mustDelete != 0)
        Violation(std::string(call) + " while control " + Num(plugin.mustDelete) +
                  " was stopped but not deleted");
    auto found = plugin.ctrls.find(id);
    if (found == plugin.ctrls.end() || found->second.state != state) {
        Violation(std::string(call) + " for control " + Num(id) + " in the wrong state");
        return nullptr;
    }
    return &found->second;
}

BOOL WINAPI CreateCtrl(DWORD* id)
{
    if (plugin.mustDelete != 0)
        Violation("CreateCtrl while control " + Num(plugin.mustDelete) + " was stopped");
    if (Planned(call_create)) {
        *id = 0xDEAD;  // a call that fails may leave anything there
        return FALSE;
    }
    *id = plugin.nextId++;
    plugin.ctrls[*id] = Ctrl();
    return TRUE;
}

BOOL WINAPI StartSave(DWORD id, const WCHAR* fileName, BOOL overwrite, ULONGLONG startParam)
{
    Ctrl* c = Find("StartSave", id, Ctrl::created);
    if (c == nullptr || Planned(call_start))
        return FALSE;
    c->state = Ctrl::saving;
    c->path = fileName;
    c->overwrite = overwrite;
    c->startParam = startParam;
    return TRUE;
}

BOOL WINAPI GetSaveFilePath(DWORD id, WCHAR* filePath, DWORD* filePathSize)
{
    Ctrl* c = Find("GetSaveFilePath", id, Ctrl::saving);
    if (c == nullptr || filePathSize == nullptr || Planned(call_path))
        return FALSE;
    U16 actual = c->path + mark;
    DWORD required = static_cast<DWORD>(actual.size() + 1);
    if (filePath == nullptr || *filePathSize < required) {
        *filePathSize = required;
        return filePath == nullptr ? TRUE : FALSE;
    }
    actual.copy(filePath, actual.size());
    filePath[actual.size()] = 0;
    return TRUE;
}

BOOL WINAPI AddTSBuff(DWORD id, const BYTE* data, DWORD size, DWORD* writeSize)
{
    plugin.feeds.push_back(Feed{id, data, size, writeSize});
    Ctrl* c = Find("AddTSBuff", id, Ctrl::saving);
    if (c == nullptr)
        return FALSE;
    if (Planned(call_feed)) {
        *writeSize = size / 2;  // as far as it got
        return FALSE;
    }
    c->data.append(reinterpret_cast<const char*>(data), size);
    *writeSize = size;
    return TRUE;
}

BOOL WINAPI StopSave(DWORD id)
{
    Ctrl* c = Find("StopSave", id, Ctrl::saving);
    if (c != nullptr) {
        c->state = Ctrl::stopped;
        plugin.mustDelete = id;
    }
    return plugin.refuseClosing ? FALSE : TRUE;
}

// After StopSave, or after a StartSave that failed.
BOOL WINAPI DeleteCtrl(DWORD id)
{
    auto found = plugin.ctrls.find(id);
    Ctrl::State from = plugin.mustDelete != 0 ? Ctrl::stopped : Ctrl::created;
    if (found == plugin.ctrls.end() || found->second.state != from ||
        (plugin.mustDelete != 0 && plugin.mustDelete != id))
        Violation("DeleteCtrl for control " + Num(id) + " out of order");
    else
        found->second.state = Ctrl::deleted;
    plugin.mustDelete = 0;
    return plugin.refuseClosing ? FALSE : TRUE;
}

template <typename Fn>
plat::Proc P(Fn fn)
{
    return reinterpret_cast<plat::Proc>(fn);
}

}  // namespace inner

// The file names WritePlugin may give: the nested plug-in above, and one that lacks AddTSBuff.
const char inner_name[] = "inner.so";
const char lacking_name[] = "lacking.so";

void ProvideNestedPlugIns()
{
    static bool provided = false;
    if (provided)
        return;
    provided = true;
    std::map<std::string, plat::Proc> functions = {
        {"CreateCtrl", inner::P(inner::CreateCtrl)},
        {"DeleteCtrl", inner::P(inner::DeleteCtrl)},
        {"StartSave", inner::P(inner::StartSave)},
        {"StopSave", inner::P(inner::StopSave)},
        {"GetSaveFilePath", inner::P(inner::GetSaveFilePath)},
        {"AddTSBuff", inner::P(inner::AddTSBuff)}};
    test_platform::ProvideModule(inner_name, functions);
    functions.erase("AddTSBuff");
    test_platform::ProvideModule(lacking_name, functions);
}

struct ModelOutput {
    bool live = false;
    bool started = false;
    std::string file;     // direct-file mode: the file as the file system names it
    DWORD nestedId = 0;   // nested mode
};

struct ModelCtrl {
    bool inUse = false;
    int overwrite = 0;
    DWORD offset = 0;  // survives DeleteCtrl and CreateCtrl, as the slot does
    std::vector<ModelOutput> outputs;
    U16 savePath;
};

// What a control of the nested plug-in should have been given.
struct NestedExpect {
    U16 path;
    BOOL overwrite;
    ULONGLONG startParam;
    std::string data;
};

}  // namespace

struct Model::Impl {
    Impl(const std::string& dir, Choices& choices);
    ~Impl();

    bool Step();
    bool Finish();

    // Choices.
    std::uint32_t Pick(std::uint32_t n) { return c_.Pick(n); }
    bool Chance(std::uint32_t percent) { return c_.Chance(percent); }
    DWORD RandomId();
    U16 RandomName();
    U16 RandomPrimary();
    ULONGLONG RandomParam();
    DWORD RandomCapacity(const U16& name);
    int PlanOpenFault();

    // The model.
    ModelCtrl* Ctrl(DWORD id);
    bool AnyInUse() const;
    bool HeldOpen(const std::string& file) const;
    bool Creatable(const U16& path, int overwrite) const;
    bool CreateUnique(const U16& path, int overwrite, std::int64_t limit, U16* made);
    bool OpenOutput(const U16& path, int overwrite, DWORD limit, ULONGLONG param, int fault,
                    DWORD nestedId, ModelOutput* out, U16* actual);
    ModelCtrl* FindByPath(const U16& path);
    DWORD Skip(const ModelCtrl& c, const ModelOutput& o) const;
    void Bind();
    void Delete(DWORD id);

    // The calls.
    void Act();
    void DoCreate();
    void DoName();
    void DoSetting();
    void DoSettings();
    void DoDelete();
    void DoDeleteAll();
    void DoStart();
    void DoStop();
    void DoPath();
    void DoAdd();
    void DoRemove();
    void DoFeed();

    // The checks.
    bool Check(bool ok, const std::string& what);
    bool Same(std::uint64_t got, std::uint64_t want, const std::string& what);
    void CheckState();
    void CheckOutputs(bool every_file);
    void CheckContents();

    std::string dir_;
    std::string self_;  // the library's own file; its settings are self_ + ".ini"
    std::string long_;  // a folder in dir_ whose path is 490 units long
    U16 wdir_;          // the two as UTF-16
    U16 wlong_;
    Choices& c_;
    int step_ = 0;
    std::string last_;
    std::string failure_;
    std::string savedPath_;
    bool hadPath_ = false;

    // The settings file, and what the first control bound.
    bool pathKnown_ = true;  // the library's own path can be told
    UINT fileUnit_ = 188;
    bool fileHasPlugin_ = false;
    std::string filePlugin_;
    DWORD unit_ = 1;
    bool nested_ = false;

    ModelCtrl ctrls_[MAX_CTRL];
    std::map<std::string, std::string> files_;    // every file created, with its bytes
    std::map<DWORD, NestedExpect> nestedExpect_;  // every nested control that got an output
    // What the current call touched: files with the length they had before, files created or
    // truncated, nested controls written to.
    std::vector<std::pair<std::string, std::size_t>> appended_;
    std::set<std::string> created_;
    std::set<DWORD> fed_;
};

Model::Impl::Impl(const std::string& dir, Choices& choices) : dir_(dir), c_(choices)
{
    // Whatever a run before left: every control deleted, every slot as at load.
    for (DWORD id = 1; id <= MAX_CTRL; ++id)
        DeleteCtrl(id);
    for (CtrlSlot& slot : plugInState.slots) {
        slot.unitOffset = 0;
        slot.overwrite = 0;
    }
    ProvideNestedPlugIns();
    inner::plugin = inner::Plugin();

    self_ = dir + "/Quill_Spread.so";
    Check(test_support::WriteFileBytes(self_, ""), "the library's file written");
    wdir_ = utf16::Widen<char16_t>(dir);
    long_ = quill_test::DirOfLength(dir, 490);
    wlong_ = utf16::Widen<char16_t>(long_);
    test_platform::SetModulePath(self_.c_str());
    test_platform::PlanWrites(nullptr);

    // No editor for Setting to start: a PATH without one and no editor variables.
    const char* path = getenv("PATH");
    hadPath_ = path != nullptr;
    savedPath_ = hadPath_ ? path : "";
    setenv("PATH", dir.c_str(), 1);
    unsetenv("VISUAL");
    unsetenv("EDITOR");

    DoSettings();
    last_.clear();
}

Model::Impl::~Impl()
{
    for (DWORD id = 1; id <= MAX_CTRL; ++id)
        DeleteCtrl(id);
    test_platform::SetModulePath(nullptr);
    test_platform::PlanWrites(nullptr);
    if (hadPath_)
        setenv("PATH", savedPath_.c_str(), 1);
    else
        unsetenv("PATH");
}

bool Model::Impl::Check(bool ok, const std::string& what)
{
    if (!ok && failure_.empty())
        failure_ = "step " + Num(step_) + ", " + last_ + ": " + what;
    return ok;
}

bool Model::Impl::Same(std::uint64_t got, std::uint64_t want, const std::string& what)
{
    return Check(got == want, what + " is " + Num(got) + ", expected " + Num(want));
}

// ---- Choices

DWORD Model::Impl::RandomId()
{
    if (Chance(10))
        return Chance(50) ? 0 : 17 + Pick(3);
    return 1 + Pick(Chance(80) ? 4 : 16);
}

U16 Model::Impl::RandomName()
{
    // Extensions and none, a dot in a folder's name only, case variants of one name (two
    // files, but one save for DuplicateSave), a name that is another's first fallback,
    // non-ASCII names, and two lone surrogates that the file system sees as one name.
    static const char16_t* const names[] = {
        u"a.ts", u"A.ts", u"a-(1).ts", u"b.ts", u"c", u"d.e.ts", u".ts", u"x.d\\y",
        u"\u00e9t\u00e9.ts", u"\U0001F4FA.ts", u"\xD800.ts", u"\xDC00.ts", u"\xD800\xE000.ts",
        u"missing/x.ts"};
    std::uint32_t n = sizeof names / sizeof names[0];
    if (Chance(15)) {
        // Around the 512-unit limit of a save's path and of the numbered names.
        static const std::uint32_t lengths[] = {505, 506, 507, 508, 509, 511, 512, 513};
        std::uint32_t total = lengths[Pick(8)];
        return wlong_ + u"/" + U16(total - wlong_.size() - 4, u'p') + u".ts";
    }
    return wdir_ + u"/" + names[Pick(n)];
}

U16 Model::Impl::RandomPrimary()
{
    if (Chance(10))
        return Chance(50) ? U16() : wdir_ + u"/nothing.ts";
    U16 p = ctrls_[Pick(Chance(80) ? 4 : 16)].savePath;
    return Chance(30) ? Upper(p) : p;
}

ULONGLONG Model::Impl::RandomParam()
{
    if (!Chance(30))
        return 0;
    return static_cast<ULONGLONG>(Pick(0xFFFFFFFFu)) << 32 | Pick(0xFFFFFFFFu);
}

DWORD Model::Impl::RandomCapacity(const U16& name)
{
    if (Chance(70))
        return 600;
    switch (Pick(3)) {
    case 0:
        return static_cast<DWORD>(name.size() + 1 + Pick(8));
    case 1:
        return MAX_SAVE_PATH;
    default:
        return Pick(600);
    }
}

// Which call of the nested plug-in fails while an output opens: none, CreateCtrl, StartSave
// or GetSaveFilePath.
int Model::Impl::PlanOpenFault()
{
    if (!Chance(25))
        return -1;
    int fault = static_cast<int>(Pick(3));
    inner::plugin.failures.insert({fault, 0});
    return fault;
}

// ---- The model

ModelCtrl* Model::Impl::Ctrl(DWORD id)
{
    if (id < 1 || id > MAX_CTRL || !ctrls_[id - 1].inUse)
        return nullptr;
    return &ctrls_[id - 1];
}

bool Model::Impl::AnyInUse() const
{
    for (const ModelCtrl& c : ctrls_) {
        if (c.inUse)
            return true;
    }
    return false;
}

bool Model::Impl::HeldOpen(const std::string& file) const
{
    for (const ModelCtrl& c : ctrls_) {
        for (const ModelOutput& o : c.outputs) {
            if (o.live && o.file == file)
                return true;
        }
    }
    return false;
}

// Whether the library may create path now. As with the Windows share mode, a file that an
// output holds open refuses every further writer, also one that would replace it.
bool Model::Impl::Creatable(const U16& path, int overwrite) const
{
    std::string file = Narrow(path);
    std::size_t slash = file.rfind('/');
    std::string folder = file.substr(0, slash);
    if (folder != dir_ && folder != long_)
        return false;
    if (file.size() - slash - 1 > 255)  // longer than a file name may be
        return false;
    if (overwrite == 0)
        return files_.count(file) == 0;
    return !HeldOpen(file);
}

// What CreateUniqueFile should do: true with the path created.
bool Model::Impl::CreateUnique(const U16& path, int overwrite, std::int64_t limit, U16* made)
{
    *made = path;
    if (!Creatable(path, overwrite)) {
        if (path.size() >= MAX_SAVE_PATH)
            return false;
        std::size_t ext = path.size();
        for (std::size_t i = path.size(); i-- > 0;) {
            if (path[i] == u'\\' || path[i] == u'/')
                break;
            if (path[i] == u'.') {
                ext = i;
                break;
            }
        }
        bool found = false;
        for (int n = 1; n <= 999 && !found; ++n) {
            U16 candidate = path.substr(0, ext) + Ascii("-(" + Num(n) + ")") + path.substr(ext);
            found = static_cast<std::int64_t>(candidate.size()) < limit &&
                    Creatable(candidate, overwrite);
            if (found)
                *made = candidate;
        }
        if (!found)
            return false;
    }
    std::string file = Narrow(*made);
    files_[file].clear();  // new, or replaced
    created_.insert(file);
    return true;
}

// Opens one output for path, as StartSave (limit 512) or DuplicateSave (the caller's
// capacity) should: true with the output and the path handed back.
bool Model::Impl::OpenOutput(const U16& path, int overwrite, DWORD limit, ULONGLONG param,
                             int fault, DWORD nestedId, ModelOutput* out, U16* actual)
{
    *out = ModelOutput();
    if (nested_) {
        *actual = path + inner::mark;
        if (fault >= 0 || actual->size() + 1 > limit)
            return false;
        out->nestedId = nestedId;
        nestedExpect_[nestedId] = NestedExpect{path, overwrite, param, std::string()};
    } else {
        if (!CreateUnique(path, overwrite, limit, actual))
            return false;
        out->file = Narrow(*actual);
    }
    out->live = true;
    return true;
}

ModelCtrl* Model::Impl::FindByPath(const U16& path)
{
    for (ModelCtrl& c : ctrls_) {
        if (c.inUse && Folded(c.savePath) == Folded(path))
            return &c;
    }
    return nullptr;
}

// Bytes an output skips of the next buffer: up to the next boundary of the data unit bound
// now, until it has started. A position kept from a larger unit counts modulo this one.
DWORD Model::Impl::Skip(const ModelCtrl& c, const ModelOutput& o) const
{
    DWORD into = c.offset % unit_;
    return o.started || into == 0 ? 0 : unit_ - into;
}

// The first control reads the settings.
void Model::Impl::Bind()
{
    unit_ = 1;
    nested_ = false;
    if (!pathKnown_)
        return;
    unit_ = fileUnit_ < 2 ? 1 : fileUnit_;
    nested_ = fileHasPlugin_ && filePlugin_ == inner_name;
}

void Model::Impl::Delete(DWORD id)
{
    ModelCtrl* c = Ctrl(id);
    Same(DeleteCtrl(id), c != nullptr, "result");
    if (c != nullptr) {
        c->outputs.clear();
        c->inUse = false;
    }
}

// ---- The calls

bool Model::Impl::Step()
{
    ++step_;
    appended_.clear();
    created_.clear();
    fed_.clear();
    inner::plugin.failures.clear();
    for (int& count : inner::plugin.counts)
        count = 0;
    inner::plugin.feeds.clear();
    inner::plugin.refuseClosing = nested_ && Chance(20);
    Act();
    CheckState();
    CheckOutputs(step_ % 16 == 0);
    if (step_ % 64 == 0)
        CheckContents();
    return failure_.empty();
}

bool Model::Impl::Finish()
{
    ++step_;
    last_ = "DeleteCtrl of every control at the end";
    appended_.clear();
    created_.clear();
    for (DWORD id = 1; id <= MAX_CTRL; ++id)
        Delete(id);
    CheckState();
    CheckOutputs(true);
    CheckContents();
    return failure_.empty();
}

void Model::Impl::Act()
{
    switch (Pick(22)) {
    case 0:
    case 1:
        return DoCreate();
    case 2:
        return DoDelete();
    case 3:
    case 4:
        return DoStart();
    case 5:
        return DoStop();
    case 6:
        return DoPath();
    case 7:
    case 8:
    case 9:
        return DoAdd();
    case 10:
    case 11:
        return DoRemove();
    case 12:
        return Chance(80) ? DoName() : Chance(50) ? DoSetting() : DoSettings();
    case 13:
        return Chance(25) ? DoDeleteAll() : DoFeed();
    default:
        return DoFeed();
    }
}

void Model::Impl::DoCreate()
{
    bool null_id = Chance(3);
    last_ = null_id ? "CreateCtrl(null)" : "CreateCtrl";
    DWORD id = 0;
    BOOL got = CreateCtrl(null_id ? nullptr : &id);
    std::uint32_t index = 0;
    while (index < MAX_CTRL && ctrls_[index].inUse)
        ++index;
    if (null_id || index == MAX_CTRL) {
        Same(got, 0, "result");
        Same(id, 0, "id");
        return;
    }
    if (!AnyInUse())
        Bind();
    Same(got, 1, "result");
    Same(id, index + 1, "id");
    ModelCtrl& c = ctrls_[index];
    c.inUse = true;
    c.outputs.clear();
    c.savePath.clear();
}

void Model::Impl::DoName()
{
    WCHAR buf[40];
    DWORD size = Pick(40);
    DWORD capacity = size;
    bool ask = Chance(20);
    bool null_size = Chance(5);
    last_ = "GetPlugInName capacity " + Num(capacity) + (ask ? " (null buffer)" : "");
    BOOL got = GetPlugInName(ask ? nullptr : buf, null_size ? nullptr : &size);
    if (null_size) {
        Same(got, 0, "result with a null size");
        return;
    }
    bool copies = !ask && capacity >= 22;
    Same(got, ask || copies, "result");
    Same(size, copies ? capacity : 22, "size");
    if (copies)
        Check(U16(buf) == u"Quill Spreader PlugIn", "name is " + Narrow(buf));
}

// No editor can be found, so the result is 31 ("no association"). Without a WritePlugin key,
// or with one beginning with "*", both defaults are written first.
void Model::Impl::DoSetting()
{
    last_ = "Setting";
    INT_PTR got = Setting(nullptr);
    if (!pathKnown_) {
        Same(static_cast<std::uint64_t>(got), 0, "result without a library path");
        return;
    }
    Same(static_cast<std::uint64_t>(got), 31, "result");
    if (!fileHasPlugin_ || (!filePlugin_.empty() && filePlugin_[0] == '*')) {
        fileHasPlugin_ = true;
        filePlugin_ = ";Quill_Basic.dll";
        fileUnit_ = 188;
    }
}

// A new settings file, for the next time the first control is created; now and then the
// library's own path is lost (or found again) too.
void Model::Impl::DoSettings()
{
    static const char* const units[] = {"188", "1", "7", "2", "100", "0", "3"};
    static const UINT unit_values[] = {188, 1, 7, 2, 100, 0, 3};
    static const char* const plugins[] = {inner_name, ";inner.so", lacking_name, "absent.so", "",
                                          "*old"};
    std::string text = "[SET]\n";
    fileUnit_ = 188;
    if (Chance(80)) {
        std::uint32_t u = Pick(7);
        text += std::string("DataUnit=") + units[u] + "\n";
        fileUnit_ = unit_values[u];
    }
    fileHasPlugin_ = Chance(75);
    if (fileHasPlugin_) {
        filePlugin_ = Chance(50) ? inner_name : plugins[Pick(6)];
        text += "WritePlugin=" + filePlugin_ + "\n";
    }
    if (Chance(10))
        pathKnown_ = !pathKnown_;
    test_platform::SetModulePath(pathKnown_ ? self_.c_str() : nullptr);
    last_ = "settings " + text + (pathKnown_ ? "" : " (library path lost)");
    Check(test_support::WriteFileBytes(self_ + ".ini", text), "settings file written");
}

void Model::Impl::DoDelete()
{
    DWORD id = RandomId();
    last_ = "DeleteCtrl " + Num(id);
    Delete(id);
}

// The host closes every recording: the next control binds the settings afresh.
void Model::Impl::DoDeleteAll()
{
    last_ = "DeleteCtrl of every control";
    for (DWORD id = 1; id <= MAX_CTRL; ++id)
        Delete(id);
}

void Model::Impl::DoStart()
{
    DWORD id = RandomId();
    U16 name = RandomName();
    static const BOOL flags[] = {0, 0, 1, 2, -1};
    BOOL overwrite = flags[Pick(5)];
    bool null_name = Chance(4);
    ULONGLONG param = RandomParam();
    int fault = nested_ ? PlanOpenFault() : -1;
    last_ = "StartSave " + Num(id) + " " + (null_name ? "(null)" : Narrow(name)) + " overwrite " +
            std::to_string(overwrite) + " fault " + std::to_string(fault);
    DWORD nestedId = inner::plugin.nextId;
    BOOL got = StartSave(id, null_name ? nullptr : name.c_str(), overwrite, param);
    ModelCtrl* c = Ctrl(id);
    if (c == nullptr || null_name) {
        Same(got, 0, "result");  // nothing changes, a running save goes on
        return;
    }
    c->outputs.clear();
    c->overwrite = overwrite != 0 ? 1 : 0;
    c->offset = 0;
    ModelOutput out;
    bool opened = (nested_ || name.size() < MAX_SAVE_PATH) &&
                  OpenOutput(name, c->overwrite, MAX_SAVE_PATH, param, fault, nestedId, &out,
                             &c->savePath);
    if (opened)
        c->outputs.push_back(out);
    else
        c->savePath.clear();
    Same(got, opened, "result");
}

void Model::Impl::DoStop()
{
    DWORD id = RandomId();
    last_ = "StopSave " + Num(id);
    ModelCtrl* c = Ctrl(id);
    Same(StopSave(id), c != nullptr, "result");
    if (c != nullptr)
        c->outputs.clear();
}

void Model::Impl::DoPath()
{
    DWORD id = RandomId();
    bool null_size = Chance(5);
    last_ = "GetSaveFilePath " + Num(id) + (null_size ? " (null size)" : "");
    ModelCtrl* c = Ctrl(id);
    WCHAR buf[MAX_SAVE_PATH];
    DWORD size = 0;
    if (c == nullptr || null_size) {
        Same(GetSaveFilePath(id, nullptr, null_size ? nullptr : &size), 0, "result");
        return;
    }
    DWORD required = static_cast<DWORD>(c->savePath.size() + 1);
    Same(GetSaveFilePath(id, nullptr, &size), 1, "result asking the size");
    Same(size, required, "size asked");
    DWORD capacity = required - (Chance(30) ? 1 : 0);
    size = capacity;
    Same(GetSaveFilePath(id, buf, &size), capacity == required, "result");
    Same(size, required, "size");
    if (capacity == required)
        Check(U16(buf) == c->savePath, "path is " + Narrow(buf) + ", expected " +
                                           Narrow(c->savePath));
}

void Model::Impl::DoAdd()
{
    U16 primary = RandomPrimary();
    U16 name = RandomName();
    static const int modes[] = {-1, 0, 1, -7, 5};
    int mode = modes[Pick(5)];
    DWORD capacity = RandomCapacity(name);
    ULONGLONG param = RandomParam();
    std::uint32_t nulls = Chance(4) ? 1 + Pick(2) : 0;  // 1: primaryPath, 2: outputId
    int fault = nested_ ? PlanOpenFault() : -1;
    last_ = "DuplicateSave add to " + Narrow(primary) + ": " + Narrow(name) + " capacity " +
            Num(capacity) + " mode " + std::to_string(mode) + " nulls " + Num(nulls) +
            " fault " + std::to_string(fault);
    // The caller's buffer, with what lies past the terminator marked.
    U16 buf(600, u'#');
    name.copy(&buf[0], name.size());
    buf[name.size()] = 0;
    const U16 before = buf;
    const DWORD unset = 0xFEED;
    DWORD out = unset;
    DWORD nestedId = inner::plugin.nextId;
    BOOL got = DuplicateSave(nulls == 1 ? nullptr : primary.c_str(), nulls == 2 ? nullptr : &out,
                             &buf[0], capacity, mode, param);
    ModelCtrl* c = nulls != 0 ? nullptr : FindByPath(primary);
    std::size_t k = 0;
    if (c != nullptr) {
        while (k < c->outputs.size() && c->outputs[k].live)
            ++k;
    }
    if (c == nullptr || k == MAX_OUTPUT) {
        Same(got, 0, "result");
        Same(out, unset, "output id");
        Check(buf == before, "newPath changed");
        return;
    }
    if (k == c->outputs.size())
        c->outputs.emplace_back();  // counted at once, whether the open succeeds or not
    int flag = mode < 0 ? c->overwrite : mode != 0 ? 1 : 0;
    U16 actual;
    bool opened = OpenOutput(name, flag, capacity, param, fault, nestedId, &c->outputs[k], &actual);
    Same(got, opened, "result");
    if (opened) {
        Same(out, k + 1, "output id");
        Check(U16(buf.c_str()) == actual, "newPath is " + Narrow(buf.c_str()) + ", expected " +
                                              Narrow(actual));
    } else {
        Same(out, unset, "output id");
        Check(buf == before, "newPath changed");
    }
}

void Model::Impl::DoRemove()
{
    U16 primary = RandomPrimary();
    DWORD out = Chance(10) ? Pick(70) : 1 + Pick(4);
    std::uint32_t nulls = Chance(4) ? 1 + Pick(2) : 0;
    last_ = "DuplicateSave remove from " + Narrow(primary) + ": " + Num(out) + " nulls " +
            Num(nulls);
    DWORD held = out;
    BOOL got = DuplicateSave(nulls == 1 ? nullptr : primary.c_str(), nulls == 2 ? nullptr : &held,
                             nullptr, 0, -1, 0);
    ModelCtrl* c = nulls != 0 ? nullptr : FindByPath(primary);
    bool removes = c != nullptr && out >= 1 && out <= c->outputs.size() && c->outputs[out - 1].live;
    Same(got, removes, "result");
    Same(held, out, "output id");
    if (removes)
        c->outputs[out - 1].live = false;
}

void Model::Impl::DoFeed()
{
    DWORD id = RandomId();
    ModelCtrl* c = Ctrl(id);
    std::uint32_t size = Chance(5) ? 0 : Chance(10) ? 1 + Pick(largest_buffer) : 1 + Pick(1500);
    // Now and then a buffer that ends right before, on or after the boundary an output waits
    // for.
    if (c != nullptr && Chance(30)) {
        for (const ModelOutput& o : c->outputs) {
            DWORD skip = Skip(*c, o);
            if (o.live && skip > 1)
                size = skip - 1 + Pick(3);
        }
    }
    std::uint32_t from = Pick(static_cast<std::uint32_t>(Stream().size() - largest_buffer));
    const BYTE* data = reinterpret_cast<const BYTE*>(Stream().data()) + from;
    std::uint32_t nulls = Chance(3) ? 1 + Pick(2) : 0;  // 1: data, 2: writeSize

    // The writes this buffer makes, in order, and which of them fail or stop short.
    std::size_t writes = 0;
    if (c != nullptr) {
        for (const ModelOutput& o : c->outputs)
            writes += o.live && Skip(*c, o) < size ? 1 : 0;
    }
    std::vector<test_platform::WriteFault> plan(writes);
    std::string faults;
    bool failing = Chance(10);
    bool all = failing && Chance(20);
    std::size_t piece = !nested_ && Chance(10) ? 1 + Pick(4096) : 0;
    bool interrupted = !nested_ && Chance(5);
    for (std::size_t w = 0; w < writes; ++w) {
        plan[w].fail = all || (failing && Chance(40));
        plan[w].maxPiece = piece;
        plan[w].interrupted = interrupted;
        if (plan[w].fail) {
            inner::plugin.failures.insert({inner::call_feed, static_cast<int>(w)});
            faults += " " + Num(w);
        }
    }
    if (!nested_) {
        test_platform::PlanWrites([plan, next = std::size_t{0}]() mutable {
            return next < plan.size() ? plan[next++] : test_platform::WriteFault();
        });
    }
    last_ = "AddTSBuff " + Num(id) + " size " + Num(size) + " nulls " + Num(nulls) +
            " failing writes" + faults + " pieces " + Num(piece) +
            (interrupted ? " interrupted" : "");
    const DWORD unset = 0xABCD;
    DWORD ws = unset;
    BOOL got = AddTSBuff(id, nulls == 1 ? nullptr : data, size, nulls == 2 ? nullptr : &ws);
    int failed = test_platform::FailedWrites();
    test_platform::PlanWrites(nullptr);

    if (c == nullptr || size == 0 || nulls != 0) {
        Same(got, 0, "result");
        Same(ws, unset, "writeSize");
        Same(inner::plugin.feeds.size(), 0, "nested writes");
        return;
    }
    bool any = false;
    DWORD last_count = 0;  // what the last write attempt leaves in writeSize
    std::vector<inner::Feed> feeds;
    std::size_t w = 0;
    std::size_t expected_failures = 0;
    for (ModelOutput& o : c->outputs) {
        DWORD skip = Skip(*c, o);
        if (!o.live || skip >= size)
            continue;
        o.started = true;
        DWORD count = size - skip;
        feeds.push_back(inner::Feed{o.nestedId, data + skip, count, &ws});
        if (plan[w++].fail) {
            ++expected_failures;
            last_count = nested_ ? count / 2 : 0;
            o.live = false;
            continue;
        }
        last_count = count;
        any = true;
        const char* bytes = reinterpret_cast<const char*>(data) + skip;
        if (nested_) {
            nestedExpect_[o.nestedId].data.append(bytes, count);
            fed_.insert(o.nestedId);
        } else {
            std::string& file = files_[o.file];
            appended_.push_back({o.file, file.size()});
            file.append(bytes, count);
        }
    }
    Same(got, any, "result");
    Same(ws, any ? size : last_count, "writeSize");
    if (nested_)
        Check(inner::plugin.feeds == feeds, "the nested writes did not get the host's buffer at "
                                            "each output's skip, or its counter");
    else
        Same(static_cast<std::uint64_t>(failed), expected_failures, "failed writes");
    if (any)
        c->offset = (c->offset % unit_ + size) % unit_;
}

// ---- The checks

void Model::Impl::CheckState()
{
    bool any = AnyInUse();
    if (any)
        Same(plugInState.dataUnit, unit_, "dataUnit");
    Same(InNestedMode(), any && nested_, "nested mode");
    Same(test_platform::ModuleHeld(inner_name), any && nested_, "nested plug-in held");
    Same(test_platform::ModuleHeld(lacking_name), false, "plug-in without AddTSBuff held");
    for (DWORD i = 0; i < MAX_CTRL; ++i) {
        const ModelCtrl& m = ctrls_[i];
        const CtrlSlot& s = plugInState.slots[i];
        std::string slot = "slot " + Num(i) + " ";
        Same(s.inUse != 0, m.inUse, slot + "inUse");
        if (!m.inUse)
            continue;
        Same(s.outputCount, m.outputs.size(), slot + "outputCount");
        Same(s.unitOffset, m.offset, slot + "unitOffset");
        Same(s.overwrite, static_cast<std::uint64_t>(m.overwrite), slot + "overwrite");
        Check(U16(s.savePath) == m.savePath, slot + "savePath is " + Narrow(s.savePath));
        for (std::size_t k = 0; k < m.outputs.size() && k < s.outputCount; ++k) {
            const ModelOutput& o = m.outputs[k];
            std::string entry = slot + "output " + Num(k) + " ";
            if (nested_)
                Same(s.outputs[k].nestedId, o.live ? o.nestedId : 0, entry + "nestedId");
            else
                Same(s.outputs[k].file != INVALID_HANDLE_VALUE, o.live, entry + "live");
            Same(s.started[k] != 0, o.started, entry + "started");
        }
    }
}

// The outputs after every call: files as long as expected (the ones this call touched, or all)
// with the bytes this call wrote where they belong; the nested plug-in's controls open exactly
// for the live outputs, with the path, flag, parameter and bytes they should have got.
void Model::Impl::CheckOutputs(bool every_file)
{
    for (const auto& f : files_) {
        if (!every_file && created_.count(f.first) == 0) {
            bool touched = false;
            for (const auto& a : appended_)
                touched = touched || a.first == f.first;
            if (!touched)
                continue;
        }
        struct stat st;
        if (Check(stat(f.first.c_str(), &st) == 0, f.first + " is missing"))
            Same(static_cast<std::uint64_t>(st.st_size), f.second.size(), f.first + " length");
    }
    for (const auto& a : appended_) {
        const std::string& want = files_[a.first];
        std::string got(want.size() - a.second, '\0');
        std::FILE* file = std::fopen(a.first.c_str(), "rb");
        if (!Check(file != nullptr, a.first + " cannot be read"))
            continue;
        bool read = std::fseek(file, static_cast<long>(a.second), SEEK_SET) == 0 &&
                    std::fread(&got[0], 1, got.size(), file) == got.size();
        std::fclose(file);
        Check(read && want.compare(a.second, got.size(), got) == 0,
              a.first + ": the bytes from " + Num(a.second) + " differ");
    }

    const inner::Plugin& p = inner::plugin;
    Check(p.violation.empty(), "nested plug-in: " + p.violation);
    Same(p.mustDelete, 0, "nested control stopped but not deleted");
    std::set<DWORD> live;
    for (const ModelCtrl& c : ctrls_) {
        for (const ModelOutput& o : c.outputs) {
            if (o.live && o.nestedId != 0)
                live.insert(o.nestedId);
        }
    }
    for (const auto& entry : p.ctrls) {
        const inner::Ctrl& got = entry.second;
        std::string ctrl = "nested control " + Num(entry.first) + " ";
        bool open = got.state != inner::Ctrl::deleted;
        Same(open, live.count(entry.first), ctrl + "open");
        auto want = nestedExpect_.find(entry.first);
        if (want == nestedExpect_.end())
            continue;
        if (open) {
            Check(got.path == want->second.path, ctrl + "path is " + Narrow(got.path));
            Same(static_cast<std::uint64_t>(got.overwrite), want->second.overwrite,
                 ctrl + "overwrite");
            Same(got.startParam, want->second.startParam, ctrl + "startParam");
        }
        Same(got.data.size(), want->second.data.size(), ctrl + "bytes");
        if (fed_.count(entry.first) != 0)
            Check(got.data == want->second.data, ctrl + "bytes differ");
    }
}

void Model::Impl::CheckContents()
{
    for (const auto& f : files_) {
        bool found = false;
        std::string bytes = test_support::ReadFileBytes(f.first, &found);
        Check(found && bytes == f.second, f.first + ": " + Num(bytes.size()) +
                                              " bytes differ from the " + Num(f.second.size()) +
                                              " expected");
    }
    for (const auto& entry : inner::plugin.ctrls) {
        auto want = nestedExpect_.find(entry.first);
        if (want != nestedExpect_.end())
            Check(entry.second.data == want->second.data,
                  "nested control " + Num(entry.first) + ": bytes differ");
    }
}

Model::Model(const std::string& dir, Choices& choices) : impl_(new Impl(dir, choices)) {}
Model::~Model() = default;

bool Model::Step()
{
    return impl_->failure_.empty() && impl_->Step();
}

bool Model::Finish()
{
    return impl_->failure_.empty() && impl_->Finish();
}

const std::string& Model::failure() const
{
    return impl_->failure_;
}

}  // namespace quill_model
