// Randomized model test: long random sequences of all nine exports, with random buffer sizes
// and write faults injected through the test seam, checked after every call against a small
// reference model of the controls, their outputs, the stream positions and the file contents.
#include "state.h"
#include "test_files.h"
#include "test_seam.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

std::u16string U16(const std::string& s)
{
    return std::u16string(s.begin(), s.end());
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

struct ModelOutput {
    bool live = false;
    bool started = false;
    std::string path;
};

struct ModelCtrl {
    bool inUse = false;
    int overwrite = 0;
    DWORD offset = 0;  // survives DeleteCtrl and CreateCtrl, as the slot does
    std::vector<ModelOutput> outputs;
    std::string savePath;
};

class Model {
public:
    Model(const std::string& dir, const std::string& settings, DWORD unit, std::uint32_t seed)
        : dir_(dir), settings_(settings), unit_(unit), file_unit_(unit), rng_(seed),
          stream_(test_support::PatternBytes(1 << 18, seed))
    {
    }

    // Runs count random calls; false after the first mismatch (reported through gtest).
    bool Run(int count)
    {
        for (int step = 0; step < count; ++step) {
            appended_.clear();
            if (!Step() || !CheckState() || !CheckWrites()) {
                ADD_FAILURE() << "at step " << step << ": " << last_;
                return false;
            }
            if (step % 64 == 63 && !CheckFiles())
                return false;
        }
        for (DWORD id = 1; id <= MAX_CTRL; ++id)
            DeleteCtrl(id);
        return CheckFiles();
    }

private:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool Chance(int percent) { return Pick(100) < percent; }

    DWORD RandomId()
    {
        if (Chance(10))
            return static_cast<DWORD>(Chance(50) ? 0 : 17 + Pick(3));
        return static_cast<DWORD>(1 + Pick(Chance(80) ? 4 : 16));
    }
    ModelCtrl* Ctrl(DWORD id)
    {
        if (id < 1 || id > MAX_CTRL || !ctrls_[id - 1].inUse)
            return nullptr;
        return &ctrls_[id - 1];
    }

    std::string RandomName()
    {
        static const char* names[] = {"a.ts", "b.ts", "c", "d.e.ts", ".ts", "f.ts", "g.ts",
                                      "missing/x.ts"};
        return dir_ + "/" + names[Pick(8)];
    }
    bool HeldOpen(const std::string& path) const
    {
        for (const ModelCtrl& c : ctrls_) {
            for (const ModelOutput& o : c.outputs) {
                if (o.live && o.path == path)
                    return true;
            }
        }
        return false;
    }
    // What CreateUniqueFile does on this file system; the path created, or "" on failure.
    std::string Create(const std::string& path, int overwrite, std::size_t limit)
    {
        if (path.find("/missing/") != std::string::npos)
            return "";
        std::string made;
        if (overwrite != 0 || files_.count(path) == 0) {
            made = path;
        } else {
            std::size_t slash = path.rfind('/');
            std::size_t dot = path.rfind('.');
            std::size_t ext = dot != std::string::npos && dot > slash ? dot : path.size();
            for (int n = 1; n <= 999 && made.empty(); ++n) {
                std::string c = path.substr(0, ext) + "-(" + std::to_string(n) + ")" + path.substr(ext);
                if (c.size() < limit && files_.count(c) == 0)
                    made = c;
            }
        }
        if (!made.empty())
            files_[made].clear();
        return made;
    }

    bool Step()
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
            return Chance(90) ? DoName() : Chance(50) ? DoSetting() : DoUnit();
        case 13:
            return Chance(25) ? DoDeleteAll() : DoFeed();
        default:
            return DoFeed();
        }
    }

    bool DoCreate()
    {
        last_ = "CreateCtrl";
        DWORD id = 0;
        BOOL got = CreateCtrl(Chance(3) ? nullptr : &id);
        int want = -1;
        for (int i = 0; i < static_cast<int>(MAX_CTRL) && want < 0; ++i) {
            if (!ctrls_[i].inUse)
                want = i;
        }
        bool first = true;
        for (const ModelCtrl& c : ctrls_)
            first = first && !c.inUse;
        if (got != 0 && first)
            unit_ = file_unit_;  // the settings are read again
        if (got == 0) {
            // Only a full table or a null pointer may fail.
            EXPECT_TRUE(want < 0 || id == 0);
            return !::testing::Test::HasFailure();
        }
        EXPECT_EQ(id, static_cast<DWORD>(want + 1));
        ModelCtrl& c = ctrls_[want];
        c.inUse = true;
        c.outputs.clear();
        c.savePath.clear();
        return !::testing::Test::HasFailure();
    }

    bool DoName()
    {
        last_ = "GetPlugInName";
        WCHAR buf[40];
        DWORD size = static_cast<DWORD>(Pick(40));
        DWORD capacity = size;
        bool ask = Chance(20);
        BOOL got = GetPlugInName(ask ? nullptr : buf, &size);
        bool copies = !ask && capacity >= 22;
        EXPECT_EQ(got, ask || copies ? 1 : 0);
        EXPECT_EQ(size, copies ? capacity : 22u);
        if (copies) {
            EXPECT_EQ(std::u16string(buf), u"Quill Spreader PlugIn");
        }
        return !::testing::Test::HasFailure();
    }

    // The settings file starts without WritePlugin, so the first call writes both defaults
    // (DataUnit 188 from the next binding on); no editor can be found, so the result is 31.
    bool DoSetting()
    {
        last_ = "Setting";
        EXPECT_EQ(Setting(nullptr), 31);
        file_unit_ = 188;
        return !::testing::Test::HasFailure();
    }

    // The settings file gets another DataUnit (and loses WritePlugin, so the next Setting
    // writes the defaults again). A smaller unit than a slot's old position tests that an
    // output added before the next StartSave still finds a boundary.
    bool DoUnit()
    {
        static const DWORD units[] = {188, 1, 7, 2, 100};
        file_unit_ = units[Pick(5)];
        last_ = "DataUnit=" + std::to_string(file_unit_);
        EXPECT_TRUE(test_support::WriteFileBytes(
            settings_, "[SET]\nDataUnit=" + std::to_string(file_unit_) + "\n"));
        return !::testing::Test::HasFailure();
    }

    // The host closes every recording: the next control binds the settings afresh.
    bool DoDeleteAll()
    {
        last_ = "DeleteCtrl of every control";
        for (DWORD id = 1; id <= MAX_CTRL; ++id)
            Delete(id);
        return !::testing::Test::HasFailure();
    }

    bool DoDelete()
    {
        DWORD id = RandomId();
        last_ = "DeleteCtrl " + std::to_string(id);
        Delete(id);
        return !::testing::Test::HasFailure();
    }

    // DeleteCtrl(id); the slot keeps its position and path, as the library's slot does.
    void Delete(DWORD id)
    {
        ModelCtrl* c = Ctrl(id);
        EXPECT_EQ(DeleteCtrl(id), c != nullptr ? 1 : 0);
        if (c != nullptr) {
            c->outputs.clear();
            c->inUse = false;
        }
    }

    bool DoStart()
    {
        DWORD id = RandomId();
        std::string name = RandomName();
        int overwrite = Chance(30) ? 1 + Pick(3) : 0;
        if (HeldOpen(name))
            overwrite = 0;  // two handles on one file would interleave their bytes
        bool null_name = Chance(4);
        last_ = "StartSave " + std::to_string(id) + " " + name + " " + std::to_string(overwrite);
        BOOL got = StartSave(id, null_name ? nullptr : U16(name).c_str(), overwrite, 0);
        ModelCtrl* c = Ctrl(id);
        if (c == nullptr || null_name) {
            EXPECT_EQ(got, 0);
            return !::testing::Test::HasFailure();
        }
        c->outputs.clear();
        c->overwrite = overwrite != 0 ? 1 : 0;
        c->offset = 0;
        c->savePath = Create(name, c->overwrite, MAX_SAVE_PATH);
        if (!c->savePath.empty())
            c->outputs.push_back(ModelOutput{true, false, c->savePath});
        EXPECT_EQ(got, c->savePath.empty() ? 0 : 1);
        return !::testing::Test::HasFailure();
    }

    bool DoStop()
    {
        DWORD id = RandomId();
        last_ = "StopSave " + std::to_string(id);
        ModelCtrl* c = Ctrl(id);
        EXPECT_EQ(StopSave(id), c != nullptr ? 1 : 0);
        if (c != nullptr)
            c->outputs.clear();
        return !::testing::Test::HasFailure();
    }

    bool DoPath()
    {
        DWORD id = RandomId();
        last_ = "GetSaveFilePath " + std::to_string(id);
        ModelCtrl* c = Ctrl(id);
        WCHAR buf[MAX_SAVE_PATH];
        DWORD size = 0;
        if (c == nullptr) {
            EXPECT_EQ(GetSaveFilePath(id, nullptr, &size), 0);
            return !::testing::Test::HasFailure();
        }
        DWORD required = static_cast<DWORD>(c->savePath.size() + 1);
        EXPECT_EQ(GetSaveFilePath(id, nullptr, &size), 1);
        EXPECT_EQ(size, required);
        DWORD capacity = required - (Chance(30) ? 1 : 0);
        size = capacity;
        EXPECT_EQ(GetSaveFilePath(id, buf, &size), capacity == required ? 1 : 0);
        EXPECT_EQ(size, required);
        if (capacity == required) {
            EXPECT_EQ(std::u16string(buf), U16(c->savePath));
        }
        return !::testing::Test::HasFailure();
    }

    // A path naming a save: mostly an in-use control's, with its case changed now and then.
    std::string RandomPrimary()
    {
        if (Chance(10))
            return Chance(50) ? "" : dir_ + "/nothing.ts";
        const ModelCtrl& c = ctrls_[Pick(4)];
        std::string p = c.savePath;
        if (Chance(30)) {
            for (char& ch : p)
                ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        }
        return p;
    }
    ModelCtrl* FindByPath(const std::string& path)
    {
        for (ModelCtrl& c : ctrls_) {
            if (c.inUse && Lower(c.savePath) == Lower(path))
                return &c;
        }
        return nullptr;
    }

    bool DoAdd()
    {
        std::string primary = RandomPrimary();
        std::string name = RandomName();
        int mode = Pick(3) - 1;
        ModelCtrl* c = FindByPath(primary);
        int flag = c == nullptr ? 0 : mode < 0 ? c->overwrite : mode != 0 ? 1 : 0;
        if (flag != 0 && HeldOpen(name))
            mode = 0, flag = 0;
        last_ = "DuplicateSave add " + primary + " " + name + " " + std::to_string(mode);
        std::u16string buf = U16(name);
        buf.resize(600);
        DWORD out = 0;
        BOOL got = DuplicateSave(U16(primary).c_str(), &out, &buf[0], 600, mode, 0);
        if (c == nullptr) {
            EXPECT_EQ(got, 0);
            return !::testing::Test::HasFailure();
        }
        std::size_t k = 0;
        while (k < c->outputs.size() && c->outputs[k].live)
            ++k;
        if (k == c->outputs.size()) {
            if (k == MAX_OUTPUT) {
                EXPECT_EQ(got, 0);
                return !::testing::Test::HasFailure();
            }
            c->outputs.push_back(ModelOutput());
        }
        std::string made = Create(name, flag, 600);
        c->outputs[k] = ModelOutput{!made.empty(), false, made};
        EXPECT_EQ(got, made.empty() ? 0 : 1);
        if (got != 0) {
            EXPECT_EQ(out, k + 1);
            EXPECT_EQ(std::u16string(buf.c_str()), U16(made));
        }
        return !::testing::Test::HasFailure();
    }

    bool DoRemove()
    {
        std::string primary = RandomPrimary();
        ModelCtrl* c = FindByPath(primary);
        DWORD out = static_cast<DWORD>(Chance(10) ? Pick(70) : 1 + Pick(4));
        last_ = "DuplicateSave remove " + primary + " " + std::to_string(out);
        DWORD held = out;
        BOOL got = DuplicateSave(U16(primary).c_str(), &held, nullptr, 0, -1, 0);
        bool want = c != nullptr && out >= 1 && out <= c->outputs.size() && c->outputs[out - 1].live;
        EXPECT_EQ(got, want ? 1 : 0);
        if (want)
            c->outputs[out - 1].live = false;
        return !::testing::Test::HasFailure();
    }

    // Bytes an output skips of the next buffer: up to the next boundary of the data unit bound
    // now, until it has started. A position kept from a larger unit counts modulo this one.
    DWORD Skip(const ModelCtrl& c, const ModelOutput& o) const
    {
        DWORD into = c.offset % unit_;
        return o.started || into == 0 ? 0 : unit_ - into;
    }

    bool DoFeed()
    {
        DWORD id = RandomId();
        ModelCtrl* c = Ctrl(id);
        std::size_t size = Chance(5) ? 0 : Chance(10) ? 1 + Pick(70000) : 1 + Pick(1500);
        // Now and then a buffer that ends right before, on or after the boundary an output
        // waits for.
        if (c != nullptr && Chance(30)) {
            for (const ModelOutput& o : c->outputs) {
                DWORD skip = Skip(*c, o);
                if (o.live && skip > 1)
                    size = skip - 1 + static_cast<std::size_t>(Pick(3));
            }
        }
        std::size_t from = static_cast<std::size_t>(Pick(static_cast<int>(stream_.size() - 70001)));
        const BYTE* data = reinterpret_cast<const BYTE*>(stream_.data()) + from;

        // The outputs this buffer will be written to, in order, and the one fault if any.
        int writes = 0;
        if (c != nullptr) {
            for (const ModelOutput& o : c->outputs) {
                DWORD skip = Skip(*c, o);
                if (o.live && skip < size)
                    ++writes;
            }
        }
        int fail_at = -1;
        bool fail_all = false;
        if (writes > 0 && Chance(10)) {
            fail_all = Chance(20);
            fail_at = fail_all ? 0 : Pick(writes);
            test_seam::FailWrites(fail_at, fail_all);
        }
        last_ = "AddTSBuff " + std::to_string(id) + " size " + std::to_string(size) + " fail " +
                std::to_string(fail_at) + (fail_all ? " all" : "");
        DWORD ws = 0xABCD;
        BOOL got = AddTSBuff(id, data, static_cast<DWORD>(size), &ws);
        test_seam::FailWrites(-1, false);

        if (c == nullptr || size == 0) {
            EXPECT_EQ(got, 0);
            EXPECT_EQ(ws, 0xABCDu);
            return !::testing::Test::HasFailure();
        }
        bool any = false;
        int w = 0;
        for (ModelOutput& o : c->outputs) {
            DWORD skip = Skip(*c, o);
            if (!o.live || skip >= size)
                continue;
            o.started = true;
            if (fail_all || w++ == fail_at) {
                o.live = false;
                continue;
            }
            std::string& bytes = files_[o.path];
            appended_.push_back({o.path, bytes.size()});
            bytes.append(reinterpret_cast<const char*>(data) + skip, size - skip);
            any = true;
        }
        EXPECT_EQ(got, any ? 1 : 0);
        EXPECT_EQ(ws, any ? size : 0u);
        if (any)
            c->offset = static_cast<DWORD>((c->offset % unit_ + size) % unit_);
        return !::testing::Test::HasFailure();
    }

    bool CheckState()
    {
        bool any = false;
        for (const ModelCtrl& c : ctrls_)
            any = any || c.inUse;
        if (any) {
            EXPECT_EQ(plugInState.dataUnit, unit_);
        }
        for (DWORD i = 0; i < MAX_CTRL; ++i) {
            const ModelCtrl& m = ctrls_[i];
            const CtrlSlot& s = plugInState.slots[i];
            EXPECT_EQ(s.inUse != 0, m.inUse) << "slot " << i;
            if (!m.inUse)
                continue;
            EXPECT_EQ(s.outputCount, m.outputs.size()) << "slot " << i;
            EXPECT_EQ(s.unitOffset, m.offset) << "slot " << i;
            EXPECT_EQ(s.overwrite, m.overwrite) << "slot " << i;
            EXPECT_EQ(std::u16string(s.savePath), U16(m.savePath)) << "slot " << i;
            for (std::size_t k = 0; k < m.outputs.size() && k < s.outputCount; ++k) {
                EXPECT_EQ(s.outputs[k].file != INVALID_HANDLE_VALUE, m.outputs[k].live)
                    << "slot " << i << " output " << k;
                EXPECT_EQ(s.started[k] != 0, m.outputs[k].started) << "slot " << i << " output " << k;
            }
        }
        return !::testing::Test::HasFailure();
    }

    // After every call: each file has the length expected, and the bytes this call wrote are
    // the ones expected where they were expected (the whole files are compared now and then).
    bool CheckWrites()
    {
        for (const auto& f : files_) {
            struct stat st;
            if (stat(f.first.c_str(), &st) != 0) {
                ADD_FAILURE() << f.first << " is missing";
                continue;
            }
            EXPECT_EQ(static_cast<std::size_t>(st.st_size), f.second.size()) << f.first;
        }
        for (const auto& a : appended_) {
            const std::string& want = files_[a.first];
            std::string got(want.size() - a.second, '\0');
            std::FILE* file = std::fopen(a.first.c_str(), "rb");
            EXPECT_NE(file, nullptr) << a.first;
            if (file == nullptr)
                continue;
            EXPECT_EQ(std::fseek(file, static_cast<long>(a.second), SEEK_SET), 0);
            EXPECT_EQ(std::fread(&got[0], 1, got.size(), file), got.size()) << a.first;
            std::fclose(file);
            EXPECT_TRUE(got.compare(0, got.size(), want, a.second, got.size()) == 0)
                << a.first << ": the bytes from " << a.second << " differ";
        }
        return !::testing::Test::HasFailure();
    }

    bool CheckFiles()
    {
        for (const auto& f : files_) {
            bool found = false;
            std::string bytes = test_support::ReadFileBytes(f.first, &found);
            EXPECT_TRUE(found) << f.first;
            EXPECT_TRUE(bytes == f.second) << f.first << ": " << bytes.size() << " bytes, expected "
                                           << f.second.size();
        }
        return !::testing::Test::HasFailure();
    }

    std::string dir_;
    std::string settings_;  // the library's settings file
    DWORD unit_;       // the data unit bound by the first control
    DWORD file_unit_;  // what the settings file holds now
    std::mt19937 rng_;
    std::string stream_;
    ModelCtrl ctrls_[MAX_CTRL];
    std::map<std::string, std::string> files_;  // every file created, with its expected bytes
    // The files the current call wrote to, each with the length it had before.
    std::vector<std::pair<std::string, std::size_t>> appended_;
    std::string last_;
};

TEST(QuillModel, random_calls_match_the_reference_model)
{
    // No editor for Setting to start: an empty PATH and no editor variables.
    test_support::ScratchDir nowhere("quill-model-path");
    std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "";
    setenv("PATH", nowhere.path().c_str(), 1);
    unsetenv("VISUAL");
    unsetenv("EDITOR");
    const DWORD units[] = {188, 1, 7, 2};
    for (std::uint32_t seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        test_support::ScratchDir dir("quill-model");
        std::string self = dir.File("Quill_Spread.so");
        ASSERT_TRUE(test_support::WriteFileBytes(self, ""));
        DWORD unit = units[seed % 4];
        ASSERT_TRUE(test_support::WriteFileBytes(self + ".ini",
                                                 "[SET]\nDataUnit=" + std::to_string(unit) + "\n"));
        test_seam::SetModulePath(self.c_str());
        // Every slot starts free and as at load, whatever an earlier run left in it.
        for (CtrlSlot& slot : plugInState.slots) {
            slot.unitOffset = 0;
            slot.overwrite = 0;
        }
        Model model(dir.path(), self + ".ini", unit, seed);
        bool ok = model.Run(400);
        test_seam::SetModulePath(nullptr);
        if (!ok)
            break;
    }
    setenv("PATH", path.c_str(), 1);
}

}  // namespace
