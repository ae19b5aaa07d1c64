// The reference model of Quill_Spread's exports (see model.h), and the nested plug-in inside the
// test program that it drives in nested mode. It knows the library only as a host does: by the
// nine exports, the files they leave and the calls a nested plug-in gets. Its rules are stated
// in their own terms: stream positions count every byte since StartSave, and a numbered name is
// the first free one of a set.
#include "model.h"

#include "test_files.h"
#include "test_platform.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

// The nine exports as a host declares them: 32-bit results, ids and sizes, UTF-16 strings.
extern "C" {
std::int32_t GetPlugInName(char16_t* name, std::uint32_t* nameSize);
std::intptr_t Setting(void* owner);
std::int32_t CreateCtrl(std::uint32_t* id);
std::int32_t DeleteCtrl(std::uint32_t id);
std::int32_t StartSave(std::uint32_t id, const char16_t* fileName, std::int32_t overwrite,
                       std::uint64_t startParam);
std::int32_t StopSave(std::uint32_t id);
std::int32_t GetSaveFilePath(std::uint32_t id, char16_t* filePath, std::uint32_t* filePathSize);
std::int32_t AddTSBuff(std::uint32_t id, const std::uint8_t* data, std::uint32_t size,
                       std::uint32_t* writeSize);
std::int32_t DuplicateSave(const char16_t* primaryPath, std::uint32_t* outputId,
                           char16_t* newPath, std::uint32_t newPathSize,
                           std::int32_t overwriteMode, std::uint64_t startParam);
}

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
using Bool = std::int32_t;
using Dword = std::uint32_t;
using Byte = std::uint8_t;

// What the interface promises a host.
constexpr Dword controls = 16;           // ids 1 to 16
constexpr std::size_t outputs_max = 64;  // output ids 1 to 64
constexpr std::size_t path_units = 512;  // a path the library keeps, terminator included
constexpr int last_number = 999;         // numbered names -(1) to -(999)
const char16_t plugin_name[] = u"Quill Spreader PlugIn";

// A UTF-16 path as the file system names it: UTF-8, an unpaired surrogate as U+FFFD.
std::string Utf8(const U16& s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] < 0xE000)
            c = 0x10000 + (c - 0xD800) * 0x400 + (s[++i] - 0xDC00);
        else if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;
        int tail = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        static const unsigned lead[] = {0x00, 0xC0, 0xE0, 0xF0};
        out += static_cast<char>(lead[tail] | c >> (6 * tail));
        for (int k = tail - 1; k >= 0; --k)
            out += static_cast<char>(0x80 | (c >> (6 * k) & 0x3F));
    }
    return out;
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
U16 Folded(U16 s, char16_t from = u'A', char16_t to = u'a')
{
    for (char16_t& c : s) {
        if (c >= from && c < from + 26)
            c = static_cast<char16_t>(c - from + to);
    }
    return s;
}

// The first multiple of unit at or after pos.
std::uint64_t Boundary(std::uint64_t pos, std::uint64_t unit)
{
    return (pos + unit - 1) / unit * unit;
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

// What a control was given: StartSave's arguments and the bytes.
struct Given {
    U16 path;
    Bool overwrite = 0;
    std::uint64_t startParam = 0;
    std::string data;
    bool operator==(const Given& o) const
    {
        return std::tie(path, overwrite, startParam, data) ==
               std::tie(o.path, o.overwrite, o.startParam, o.data);
    }
};

struct Ctrl {
    enum State { created, saving, stopped, deleted } state = created;
    Given given;
};

// One AddTSBuff call (id, data, size, writeSize), to check that the host's own buffer and
// counter came through.
using Feed = std::tuple<Dword, const Byte*, Dword, Dword*>;

struct Plugin {
    std::map<Dword, Ctrl> ctrls;
    Dword nextId = 1;
    Dword mustDelete = 0;                       // stopped: DeleteCtrl of it must come next
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
Ctrl* Find(const char* call, Dword id, Ctrl::State state)
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

Bool CreateCtrl(Dword* id)
{
    if (plugin.mustDelete != 0)
        Violation("CreateCtrl while control " + Num(plugin.mustDelete) + " was stopped");
    if (Planned(call_create)) {
        *id = 0xDEAD;  // a call that fails may leave anything there
        return 0;
    }
    *id = plugin.nextId++;
    plugin.ctrls[*id] = Ctrl();
    return 1;
}

Bool StartSave(Dword id, const char16_t* fileName, Bool overwrite, std::uint64_t startParam)
{
    Ctrl* c = Find("StartSave", id, Ctrl::created);
    if (c == nullptr || Planned(call_start))
        return 0;
    c->state = Ctrl::saving;
    c->given = Given{fileName, overwrite, startParam, std::string()};
    return 1;
}

Bool GetSaveFilePath(Dword id, char16_t* filePath, Dword* filePathSize)
{
    Ctrl* c = Find("GetSaveFilePath", id, Ctrl::saving);
    if (c == nullptr || filePathSize == nullptr || Planned(call_path))
        return 0;
    U16 actual = c->given.path + mark;
    Dword required = static_cast<Dword>(actual.size() + 1);
    if (filePath == nullptr || *filePathSize < required) {
        *filePathSize = required;
        return filePath == nullptr ? 1 : 0;
    }
    actual.copy(filePath, actual.size());
    filePath[actual.size()] = 0;
    return 1;
}

Bool AddTSBuff(Dword id, const Byte* data, Dword size, Dword* writeSize)
{
    plugin.feeds.emplace_back(id, data, size, writeSize);
    Ctrl* c = Find("AddTSBuff", id, Ctrl::saving);
    if (c == nullptr)
        return 0;
    if (Planned(call_feed)) {
        *writeSize = size / 2;  // as far as it got
        return 0;
    }
    c->given.data.append(reinterpret_cast<const char*>(data), size);
    *writeSize = size;
    return 1;
}

Bool StopSave(Dword id)
{
    Ctrl* c = Find("StopSave", id, Ctrl::saving);
    if (c != nullptr) {
        c->state = Ctrl::stopped;
        plugin.mustDelete = id;
    }
    return plugin.refuseClosing ? 0 : 1;
}

// After StopSave, or after a StartSave that failed.
Bool DeleteCtrl(Dword id)
{
    auto found = plugin.ctrls.find(id);
    Ctrl::State from = plugin.mustDelete != 0 ? Ctrl::stopped : Ctrl::created;
    if (found == plugin.ctrls.end() || found->second.state != from ||
        (plugin.mustDelete != 0 && plugin.mustDelete != id))
        Violation("DeleteCtrl for control " + Num(id) + " out of order");
    else
        found->second.state = Ctrl::deleted;
    plugin.mustDelete = 0;
    return plugin.refuseClosing ? 0 : 1;
}

template <typename Fn>
test_platform::Proc P(Fn fn)
{
    return reinterpret_cast<test_platform::Proc>(fn);
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
    std::map<std::string, test_platform::Proc> functions = {
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
    std::uint64_t begin = 0;  // the stream position of its first byte
    std::string file;         // direct-file mode: the file as the file system names it
    Dword nestedId = 0;       // nested mode
};

struct ModelCtrl {
    bool inUse = false;
    int overwrite = 0;
    // Stream bytes accepted since StartSave, counted in posUnit, the data unit bound when they
    // were; both survive DeleteCtrl and CreateCtrl.
    std::uint64_t pos = 0;
    std::uint64_t posUnit = 1;
    std::vector<ModelOutput> outputs;
    U16 savePath;
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
    Dword RandomId();
    U16 RandomName();
    U16 RandomPrimary();
    std::uint64_t RandomParam();
    Dword RandomCapacity(const U16& name);
    int PlanOpenFault();

    // The model.
    ModelCtrl* Ctrl(Dword id);
    bool AnyInUse() const;
    bool Creatable(const U16& path, int overwrite) const;
    bool CreateUnique(const U16& path, int overwrite, std::uint64_t capacity, U16* made);
    bool OpenOutput(const U16& path, int overwrite, std::uint64_t capacity, std::uint64_t param,
                    int fault, Dword nestedId, ModelCtrl& c, ModelOutput* out, U16* actual);
    ModelCtrl* FindByPath(const U16& path);
    std::uint64_t& Pos(ModelCtrl& c);
    std::uint64_t Skip(ModelCtrl& c, const ModelOutput& o);
    void Bind();
    void Delete(Dword id);

    // The calls.
    void Act();
    void DoCreate();
    void DoName();
    void DoSetting();
    void DoSettings();
    void DoCrowd();
    void DoDelete();
    void DoStart();
    void DoStop();
    void DoPath();
    void DoAdd();
    void DoRemove();
    void DoFeed();

    // The checks.
    bool Check(bool ok, const std::string& what);
    bool Same(std::uint64_t got, std::uint64_t want, const std::string& what);
    void CheckControls();
    void CheckFile(const std::string& file);
    void CheckOutputs();
    void CheckContents();

    std::string dir_;
    std::string self_;  // the library's own file; its settings are self_ + ".ini"
    std::string long_;  // a folder in dir_ whose path is 490 units long
    U16 wdir_;          // the three as UTF-16, the last in the folder x.d (see DoCrowd)
    U16 wlong_;
    U16 crowd_;
    Choices& c_;
    int step_ = 0;
    std::string last_;
    std::string failure_;
    std::string savedPath_;
    bool hadPath_ = false;
    bool crowded_ = false;  // every numbered name of crowd.ts but the last exists

    // The settings file, and what the first control bound.
    bool pathKnown_ = true;  // the library's own path can be told
    std::uint64_t fileUnit_ = 188;
    bool fileHasPlugin_ = false;
    std::string filePlugin_;
    std::uint64_t unit_ = 1;
    bool nested_ = false;

    ModelCtrl ctrls_[controls];
    std::map<std::string, std::string> files_;    // every file created, with its bytes
    std::map<Dword, inner::Given> nestedExpect_;  // every nested control that got an output
    // What the current call touched: files created, replaced or written to, nested controls
    // written to.
    std::set<std::string> touched_;
    std::set<Dword> fed_;
};

Model::Impl::Impl(const std::string& dir, Choices& choices) : dir_(dir), c_(choices)
{
    ProvideNestedPlugIns();
    inner::plugin = inner::Plugin();
    self_ = dir + "/Quill_Spread.so";
    Check(test_support::WriteFileBytes(self_, ""), "the library's file written");
    test_platform::SetModulePath(self_.c_str());
    test_platform::PlanWrites(nullptr);
    // Whatever a run before left: every control deleted, and every slot's position and flag
    // as at load, by a StartSave whose name is too long to open.
    const U16 too_long(path_units, u'x');
    for (Dword id = 1; id <= controls; ++id)
        DeleteCtrl(id);
    for (Dword made = 0, id = 1; id <= controls; ++id)
        StartSave(CreateCtrl(&made) ? made : 0, too_long.c_str(), 0, 0);
    for (Dword id = 1; id <= controls; ++id)
        DeleteCtrl(id);

    wdir_ = Ascii(dir);
    // Folders of 99 characters, then one that makes up the rest.
    long_ = dir;
    while (long_.size() < 490) {
        long_ += "/" + std::string(std::min<std::size_t>(99, 490 - long_.size() - 1), 'd');
        std::filesystem::create_directory(long_);
    }
    wlong_ = Ascii(long_);
    crowd_ = wdir_ + u"/x.d/crowd.ts";
    std::filesystem::create_directory(dir + "/x.d");  // a folder whose name has a dot

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
    for (Dword id = 1; id <= controls; ++id)
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

Dword Model::Impl::RandomId()
{
    if (Chance(10))
        return Chance(50) ? 0 : controls + 1 + Pick(3);
    return 1 + Pick(Chance(80) ? 4 : controls);
}

U16 Model::Impl::RandomName()
{
    // Extensions and none, a dot in a folder's name only, case variants of one name (two
    // files, but one save for DuplicateSave), a name that is another's first fallback,
    // non-ASCII names, two lone surrogates that the file system sees as one name, and the
    // empty name.
    static const char16_t* const names[] = {
        u"a.ts", u"A.ts", u"a-(1).ts", u"b.ts", u"c", u"d.e.ts", u".ts", u"x.d/y", u"x.d\\y",
        u"\u00e9t\u00e9.ts", u"\U0001F4FA.ts", u"\xD800.ts", u"\xDC00.ts", u"\xD800\xE000.ts",
        u"missing/x.ts"};
    std::uint32_t n = sizeof names / sizeof names[0];
    if (Chance(2))
        return U16();
    if (Chance(15)) {
        // Around the 512-unit limit of a save's path and of the numbered names.
        static const std::uint32_t lengths[] = {505, 506, 507, 508, 509, 511, 512, 513};
        std::uint32_t total = lengths[Pick(8)];
        return wlong_ + u"/" + U16(total - wlong_.size() - 4, u'p') + u".ts";
    }
    if (crowded_ && Chance(20))
        return crowd_;
    return wdir_ + u"/" + names[Pick(n)];
}

U16 Model::Impl::RandomPrimary()
{
    if (Chance(10))
        return Chance(50) ? U16() : wdir_ + u"/nothing.ts";
    U16 p = ctrls_[Pick(Chance(80) ? 4 : controls)].savePath;
    return Chance(30) ? Folded(p, u'a', u'A') : p;
}

std::uint64_t Model::Impl::RandomParam()
{
    return Chance(30) ? std::uint64_t{Pick(0xFFFFFFFFu)} << 32 | Pick(0xFFFFFFFFu) : 0;
}

// The caller's buffer holds 600 units; a capacity may claim more.
Dword Model::Impl::RandomCapacity(const U16& name)
{
    if (Chance(70))
        return 600;
    const Dword capacities[] = {static_cast<Dword>(name.size() + 1 + Pick(8)), path_units,
                                0x80000000u, 0xFFFFFFFFu, Pick(600)};
    return capacities[Pick(5)];
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

ModelCtrl* Model::Impl::Ctrl(Dword id)
{
    return id >= 1 && id <= controls && ctrls_[id - 1].inUse ? &ctrls_[id - 1] : nullptr;
}

bool Model::Impl::AnyInUse() const
{
    return std::any_of(std::begin(ctrls_), std::end(ctrls_),
                       [](const ModelCtrl& c) { return c.inUse; });
}

// Whether the library may create path now: in a folder that exists, with a file name the file
// system takes, and either a new file or, with overwrite, one that no output holds open (as
// with the Windows share mode, an open output refuses every further writer).
bool Model::Impl::Creatable(const U16& path, int overwrite) const
{
    std::string file = Utf8(path);
    std::size_t slash = file.rfind('/');
    std::error_code ec;
    if (slash == std::string::npos || file.size() - slash - 1 > 255 ||
        !std::filesystem::is_directory(file.substr(0, slash), ec))
        return false;
    if (overwrite == 0)
        return files_.count(file) == 0;
    for (const ModelCtrl& c : ctrls_) {
        for (const ModelOutput& o : c.outputs)
            overwrite = o.live && o.file == file ? 0 : overwrite;
    }
    return overwrite != 0;
}

// The file CreateUniqueFile makes of path: path itself if it can be created; else, for a path
// shorter than 512 units, the first free one of the numbered names, "-(N)" put before the
// extension (from the last dot of the file's own name on), that fits the caller's capacity
// with its terminator. An empty path is refused.
bool Model::Impl::CreateUnique(const U16& path, int overwrite, std::uint64_t capacity, U16* made)
{
    std::vector<U16> names = {path};
    if (path.size() < path_units) {
        std::size_t name = path.find_last_of(u"/\\") + 1;  // 0 when there is no folder
        std::size_t dot = path.rfind(u'.');
        std::size_t ext = dot != U16::npos && dot >= name ? dot : path.size();
        for (int n = 1; n <= last_number; ++n) {
            U16 numbered = path.substr(0, ext) + Ascii("-(" + Num(n) + ")") + path.substr(ext);
            if (numbered.size() < capacity)
                names.push_back(numbered);
        }
    }
    auto free = std::find_if(names.begin(), names.end(),
                             [&](const U16& n) { return Creatable(n, overwrite); });
    if (path.empty() || free == names.end())
        return false;
    *made = *free;
    std::string file = Utf8(*made);
    files_[file].clear();  // new, or replaced
    touched_.insert(file);
    return true;
}

// Opens one output of c for path, as StartSave (capacity 512) or DuplicateSave (the caller's)
// should: true with the output, beginning at the next boundary, and the path handed back.
bool Model::Impl::OpenOutput(const U16& path, int overwrite, std::uint64_t capacity,
                             std::uint64_t param, int fault, Dword nestedId, ModelCtrl& c,
                             ModelOutput* out, U16* actual)
{
    *out = ModelOutput();
    if (nested_) {
        *actual = path + inner::mark;
        if (fault >= 0 || actual->size() + 1 > capacity)
            return false;
        out->nestedId = nestedId;
        nestedExpect_[nestedId] = inner::Given{path, overwrite, param, std::string()};
        fed_.insert(nestedId);
    } else {
        if (!CreateUnique(path, overwrite, capacity, actual))
            return false;
        out->file = Utf8(*actual);
    }
    out->live = true;
    out->begin = Boundary(Pos(c), unit_);
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

// The stream position of c, counted in the data unit bound now. Of a position counted in an
// earlier unit (the slot kept it through DeleteCtrl and CreateCtrl) only the offset into that
// unit's last boundary is kept.
std::uint64_t& Model::Impl::Pos(ModelCtrl& c)
{
    if (c.posUnit != unit_) {
        c.pos %= c.posUnit;
        c.posUnit = unit_;
    }
    return c.pos;
}

// Bytes an output skips of the next buffer: those before its first byte.
std::uint64_t Model::Impl::Skip(ModelCtrl& c, const ModelOutput& o)
{
    return o.begin > Pos(c) ? o.begin - Pos(c) : 0;
}

// The first control reads the settings.
void Model::Impl::Bind()
{
    unit_ = pathKnown_ && fileUnit_ >= 2 ? fileUnit_ : 1;
    nested_ = pathKnown_ && fileHasPlugin_ && filePlugin_ == inner_name;
}

void Model::Impl::Delete(Dword id)
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
    touched_.clear();
    fed_.clear();
    inner::plugin.failures.clear();
    std::fill(std::begin(inner::plugin.counts), std::end(inner::plugin.counts), 0);
    inner::plugin.feeds.clear();
    inner::plugin.refuseClosing = nested_ && Chance(20);
    Act();
    CheckControls();
    CheckOutputs();
    if (step_ % 64 == 0)
        CheckContents();
    return failure_.empty();
}

bool Model::Impl::Finish()
{
    ++step_;
    last_ = "DeleteCtrl of every control at the end";
    touched_.clear();
    for (Dword id = 1; id <= controls; ++id)
        Delete(id);
    CheckControls();
    CheckOutputs();
    CheckContents();
    return failure_.empty();
}

void Model::Impl::Act()
{
    std::uint32_t n = Pick(22);
    if (n < 2)
        return DoCreate();
    if (n == 2 || n == 13)
        return DoDelete();
    if (n < 5)
        return DoStart();
    if (n < 7)
        return n == 5 ? DoStop() : DoPath();
    if (n < 12)
        return n < 10 ? DoAdd() : DoRemove();
    if (n > 12)
        return DoFeed();
    Chance(80) ? DoName() : Chance(50) ? DoSetting() : Chance(80) ? DoSettings() : DoCrowd();
}

// Now and then the host opens recordings until the table is full, and one more.
void Model::Impl::DoCreate()
{
    for (Dword burst = Chance(5) ? controls + 1 : 1; burst > 0 && failure_.empty(); --burst) {
        bool null_id = Chance(3);
        last_ = null_id ? "CreateCtrl(null)" : "CreateCtrl";
        Dword id = 0;
        Bool got = CreateCtrl(null_id ? nullptr : &id);
        std::uint32_t index = 0;
        while (index < controls && ctrls_[index].inUse)
            ++index;
        bool made = !null_id && index < controls;
        if (made && !AnyInUse())
            Bind();
        Same(got, made, "result");
        Same(id, made ? index + 1 : 0, "id");
        if (made) {
            ctrls_[index].inUse = true;
            ctrls_[index].outputs.clear();
            ctrls_[index].savePath.clear();
        }
    }
}

void Model::Impl::DoName()
{
    char16_t buf[40];
    Dword size = Pick(40);
    Dword capacity = size;
    bool ask = Chance(20);
    bool null_size = Chance(5);
    last_ = "GetPlugInName capacity " + Num(capacity) + (ask ? " (null buffer)" : "");
    Bool got = GetPlugInName(ask ? nullptr : buf, null_size ? nullptr : &size);
    if (null_size) {
        Same(got, 0, "result with a null size");
        return;
    }
    const Dword required = sizeof plugin_name / sizeof plugin_name[0];
    bool copies = !ask && capacity >= required;
    Same(got, ask || copies, "result");
    Same(size, copies ? capacity : required, "size");
    if (copies)
        Check(U16(buf) == plugin_name, "name is " + Utf8(buf));
}

// No editor can be found, so the result is 31 ("no association"). Without a WritePlugin key,
// or with one beginning with "*", both defaults are written first.
void Model::Impl::DoSetting()
{
    last_ = "Setting";
    std::intptr_t got = Setting(nullptr);
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
    // -5 is read as 4294967291, a unit whose positions need more than 32 bits.
    static const char* const units[] = {"188", "1", "7", "2", "100", "0", "3", "-5"};
    static const std::uint64_t unit_values[] = {188, 1, 7, 2, 100, 0, 3, 4294967291u};
    static const char* const plugins[] = {inner_name, ";inner.so", lacking_name, "absent.so", "",
                                          "*old"};
    std::string text = "[SET]\n";
    fileUnit_ = 188;
    if (Chance(80)) {
        std::uint32_t u = Pick(8);
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

// Another program fills a folder with crowd.ts and all its numbered names but the last (links
// to one empty file, which saves are never allowed to replace), so that one more save of that
// name gets the last and the next one none.
void Model::Impl::DoCrowd()
{
    last_ = "crowd.ts and its numbered names up to -(998) made";
    if (crowded_)
        return;
    crowded_ = true;
    const std::string stem = dir_ + "/x.d/crowd";
    Check(test_support::WriteFileBytes(stem + ".ts", ""), "crowd.ts written");
    files_[stem + ".ts"];
    for (int n = 1; n < last_number; ++n) {
        std::string file = stem + "-(" + Num(n) + ").ts";
        std::error_code ec;
        std::filesystem::create_hard_link(stem + ".ts", file, ec);
        Check(!ec, file + " made");
        files_[file];
    }
}

// One control, or now and then all of them, so that the next control binds the settings afresh.
void Model::Impl::DoDelete()
{
    if (Chance(80)) {
        Dword id = RandomId();
        last_ = "DeleteCtrl " + Num(id);
        return Delete(id);
    }
    last_ = "DeleteCtrl of every control";
    for (Dword id = 1; id <= controls; ++id)
        Delete(id);
}

void Model::Impl::DoStart()
{
    Dword id = RandomId();
    U16 name = RandomName();
    static const Bool flags[] = {0, 0, 1, 2, -1};
    Bool overwrite = name == crowd_ ? 0 : flags[Pick(5)];
    bool null_name = Chance(4);
    std::uint64_t param = RandomParam();
    int fault = nested_ ? PlanOpenFault() : -1;
    last_ = "StartSave " + Num(id) + " " + (null_name ? "(null)" : Utf8(name)) + " overwrite " +
            std::to_string(overwrite) + " fault " + std::to_string(fault);
    Dword nestedId = inner::plugin.nextId;
    Bool got = StartSave(id, null_name ? nullptr : name.c_str(), overwrite, param);
    ModelCtrl* c = Ctrl(id);
    if (c == nullptr || null_name) {
        Same(got, 0, "result");  // nothing changes, a running save goes on
        return;
    }
    c->outputs.clear();
    c->overwrite = overwrite != 0 ? 1 : 0;
    c->pos = 0;
    c->posUnit = unit_;
    ModelOutput out;
    bool opened = (nested_ || name.size() < path_units) &&
                  OpenOutput(name, c->overwrite, path_units, param, fault, nestedId, *c, &out,
                             &c->savePath);
    if (opened)
        c->outputs.push_back(out);
    else
        c->savePath.clear();
    Same(got, opened, "result");
}

void Model::Impl::DoStop()
{
    Dword id = RandomId();
    last_ = "StopSave " + Num(id);
    ModelCtrl* c = Ctrl(id);
    Same(StopSave(id), c != nullptr, "result");
    if (c != nullptr)
        c->outputs.clear();
}

void Model::Impl::DoPath()
{
    Dword id = RandomId();
    bool null_size = Chance(5);
    last_ = "GetSaveFilePath " + Num(id) + (null_size ? " (null size)" : "");
    ModelCtrl* c = Ctrl(id);
    char16_t buf[path_units];
    Dword size = 0;
    if (c == nullptr || null_size) {
        Same(GetSaveFilePath(id, nullptr, null_size ? nullptr : &size), 0, "result");
        return;
    }
    Dword required = static_cast<Dword>(c->savePath.size() + 1);
    Same(GetSaveFilePath(id, nullptr, &size), 1, "result asking the size");
    Same(size, required, "size asked");
    Dword capacity = required - (Chance(30) ? 1 : 0);
    size = capacity;
    Same(GetSaveFilePath(id, buf, &size), capacity == required, "result");
    Same(size, required, "size");
    if (capacity == required)
        Check(U16(buf) == c->savePath, "path is " + Utf8(buf) + ", expected " +
                                           Utf8(c->savePath));
}

void Model::Impl::DoAdd()
{
    U16 primary = RandomPrimary();
    U16 name = RandomName();
    static const int modes[] = {-1, 0, 1, -7, 5};
    int mode = name == crowd_ ? 0 : modes[Pick(5)];
    Dword capacity = RandomCapacity(name);
    std::uint64_t param = RandomParam();
    std::uint32_t nulls = Chance(4) ? 1 + Pick(2) : 0;  // 1: primaryPath, 2: outputId
    int fault = nested_ ? PlanOpenFault() : -1;
    last_ = "DuplicateSave add to " + Utf8(primary) + ": " + Utf8(name) + " capacity " +
            Num(capacity) + " mode " + std::to_string(mode) + " nulls " + Num(nulls) +
            " fault " + std::to_string(fault);
    // The caller's buffer, with what lies past the terminator marked.
    U16 buf(600, u'#');
    name.copy(&buf[0], name.size());
    buf[name.size()] = 0;
    const U16 before = buf;
    const Dword unset = 0xFEED;
    Dword out = unset;
    Dword nestedId = inner::plugin.nextId;
    Bool got = DuplicateSave(nulls == 1 ? nullptr : primary.c_str(), nulls == 2 ? nullptr : &out,
                             &buf[0], capacity, mode, param);
    ModelCtrl* c = nulls != 0 ? nullptr : FindByPath(primary);
    std::size_t k = 0;
    while (c != nullptr && k < c->outputs.size() && c->outputs[k].live)
        ++k;
    if (c == nullptr || k == outputs_max) {
        Same(got, 0, "result");
        Same(out, unset, "output id");
        Check(buf == before, "newPath changed");
        return;
    }
    if (k == c->outputs.size())
        c->outputs.emplace_back();  // counted at once, whether the open succeeds or not
    int flag = mode < 0 ? c->overwrite : mode != 0 ? 1 : 0;
    U16 actual;
    bool opened = OpenOutput(name, flag, capacity, param, fault, nestedId, *c, &c->outputs[k],
                             &actual);
    Same(got, opened, "result");
    if (opened) {
        Same(out, k + 1, "output id");
        Check(U16(buf.c_str()) == actual, "newPath is " + Utf8(buf.c_str()) + ", expected " +
                                              Utf8(actual));
    } else {
        Same(out, unset, "output id");
        Check(buf == before, "newPath changed");
    }
}

void Model::Impl::DoRemove()
{
    U16 primary = RandomPrimary();
    Dword out = Chance(10) ? Pick(70) : 1 + Pick(4);
    std::uint32_t nulls = Chance(4) ? 1 + Pick(2) : 0;
    last_ = "DuplicateSave remove from " + Utf8(primary) + ": " + Num(out) + " nulls " +
            Num(nulls);
    Dword held = out;
    Bool got = DuplicateSave(nulls == 1 ? nullptr : primary.c_str(), nulls == 2 ? nullptr : &held,
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
    Dword id = RandomId();
    ModelCtrl* c = Ctrl(id);
    std::uint32_t size = Chance(5) ? 0 : Chance(10) ? 1 + Pick(largest_buffer) : 1 + Pick(1500);
    // Now and then a buffer that ends right before, on or after the boundary an output waits
    // for.
    if (c != nullptr && Chance(30)) {
        for (const ModelOutput& o : c->outputs) {
            std::uint64_t skip = Skip(*c, o);
            if (o.live && skip > 1 && skip <= largest_buffer)
                size = static_cast<std::uint32_t>(skip - 1 + Pick(3));
        }
    }
    std::uint32_t from = Pick(static_cast<std::uint32_t>(Stream().size() - largest_buffer));
    const Byte* data = reinterpret_cast<const Byte*>(Stream().data()) + from;
    std::uint32_t nulls = Chance(3) ? 1 + Pick(2) : 0;  // 1: data, 2: writeSize

    // The writes this buffer makes, in order, and which of them fail or stop short.
    std::size_t writes = 0;
    for (std::size_t k = 0; c != nullptr && k < c->outputs.size(); ++k)
        writes += c->outputs[k].live && Skip(*c, c->outputs[k]) < size ? 1 : 0;
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
    const Dword unset = 0xABCD;
    Dword ws = unset;
    Bool got = AddTSBuff(id, nulls == 1 ? nullptr : data, size, nulls == 2 ? nullptr : &ws);
    int failed = test_platform::FailedWrites();
    test_platform::PlanWrites(nullptr);

    if (c == nullptr || size == 0 || nulls != 0) {
        Same(got, 0, "result");
        Same(ws, unset, "writeSize");
        Same(inner::plugin.feeds.size(), 0, "nested writes");
        return;
    }
    bool any = false;
    Dword last_count = 0;  // what the last write attempt leaves in writeSize
    std::vector<inner::Feed> feeds;
    std::size_t w = 0;
    std::size_t expected_failures = 0;
    for (ModelOutput& o : c->outputs) {
        std::uint64_t skip = Skip(*c, o);
        if (!o.live || skip >= size)
            continue;
        Dword count = static_cast<Dword>(size - skip);
        feeds.emplace_back(o.nestedId, data + skip, count, &ws);
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
            files_[o.file].append(bytes, count);
            touched_.insert(o.file);
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
        Pos(*c) += size;
}

// ---- The checks

// What a host can ask of every control: whether it exists and the path of its output 1; and
// whether the library holds the nested plug-in.
void Model::Impl::CheckControls()
{
    Same(test_platform::ModuleHeld(inner_name), AnyInUse() && nested_, "nested plug-in held");
    Same(test_platform::ModuleHeld(lacking_name), false, "plug-in without AddTSBuff held");
    for (Dword id = 1; id <= controls; ++id) {
        const ModelCtrl& m = ctrls_[id - 1];
        char16_t buf[path_units];
        Dword size = path_units;
        Same(GetSaveFilePath(id, buf, &size), m.inUse, "control " + Num(id) + " exists");
        if (m.inUse)
            Check(U16(buf) == m.savePath, "control " + Num(id) + " path is " + Utf8(buf));
    }
}

void Model::Impl::CheckFile(const std::string& file)
{
    bool found = false;
    std::string bytes = test_support::ReadFileBytes(file, &found);
    Check(found && bytes == files_[file], file + ": " + Num(bytes.size()) +
                                              " bytes differ from the " +
                                              Num(files_[file].size()) + " expected");
}

// The outputs after every call: the files it touched hold what they should; the nested
// plug-in's controls are open exactly for the live outputs, with the path, flag, parameter and
// bytes they should have got.
void Model::Impl::CheckOutputs()
{
    for (const std::string& file : touched_)
        CheckFile(file);
    const inner::Plugin& p = inner::plugin;
    Check(p.violation.empty(), "nested plug-in: " + p.violation);
    Same(p.mustDelete, 0, "nested control stopped but not deleted");
    std::set<Dword> live;
    for (const ModelCtrl& c : ctrls_) {
        for (const ModelOutput& o : c.outputs) {
            if (o.live && o.nestedId != 0)
                live.insert(o.nestedId);
        }
    }
    for (const auto& entry : p.ctrls) {
        std::string ctrl = "nested control " + Num(entry.first) + " ";
        Same(entry.second.state != inner::Ctrl::deleted, live.count(entry.first), ctrl + "open");
        auto want = nestedExpect_.find(entry.first);
        if (want == nestedExpect_.end())
            continue;
        const inner::Given& got = entry.second.given;
        Same(got.data.size(), want->second.data.size(), ctrl + "bytes");
        if (fed_.count(entry.first) != 0)
            Check(got == want->second, ctrl + "given " + Utf8(got.path) + " overwrite " +
                                           Num(got.overwrite) + " parameter " +
                                           Num(got.startParam) + " or bytes that differ");
    }
}

// Every file in the run's folder is one the model knows, with the bytes it expects.
void Model::Impl::CheckContents()
{
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir_, ec)) {
        std::string file = e.path().string();
        Check(!e.is_regular_file() || files_.count(file) != 0 || file == self_ ||
                  file == self_ + ".ini",
              file + " was made");
    }
    for (const auto& f : files_)
        CheckFile(f.first);
    for (const auto& entry : inner::plugin.ctrls) {
        auto want = nestedExpect_.find(entry.first);
        Check(want == nestedExpect_.end() || entry.second.given == want->second,
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
