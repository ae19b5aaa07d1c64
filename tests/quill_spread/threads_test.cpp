// Concurrency through the loaded library: two host threads feed two controls while a third
// adds and removes duplicates of both; afterwards every file is an exact piece of its stream,
// beginning on a data-unit boundary and ending between two buffers.
#include "quill_fixture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>

using namespace quill_test;

namespace {

constexpr std::size_t unit = 188;

struct Feeder {
    DWORD id = 0;
    std::string stream;
    std::set<std::size_t> ends;  // stream positions at which a buffer ended
    bool ok = true;
};

void Feed(const PlugInApi& q, Feeder* f, std::uint32_t seed, const std::atomic<bool>* go)
{
    while (!go->load())
        std::this_thread::yield();
    std::mt19937 rng(seed);
    std::size_t pos = 0;
    f->ends.insert(0);
    while (pos < f->stream.size()) {
        std::size_t size = std::min<std::size_t>(1 + rng() % 20000, f->stream.size() - pos);
        DWORD ws = 0;
        if (!q.AddTSBuff(f->id, reinterpret_cast<const BYTE*>(f->stream.data()) + pos,
                         static_cast<DWORD>(size), &ws) ||
            ws != size)
            f->ok = false;
        pos += size;
        f->ends.insert(pos);
        std::this_thread::yield();  // let the other threads in between buffers
    }
}

TEST_F(QuillTest, duplicates_come_and_go_while_two_controls_record)
{
    Load();
    Feeder feeders[2];
    WStr mains[2];
    for (int c = 0; c < 2; ++c) {
        feeders[c].id = NewCtrl();
        feeders[c].stream = test_support::PatternBytes(2 << 20, 40 + c);
        mains[c] = Path("main" + std::to_string(c) + ".ts");
        ASSERT_TRUE(q.StartSave(feeders[c].id, mains[c].c_str(), 0, 0));
    }

    std::atomic<int> running{2};
    std::atomic<bool> go{false};
    std::vector<std::string> dup_files[2];
    std::thread adder([&] {
        std::mt19937 rng(7);
        std::vector<DWORD> live[2];
        int n = 0;
        while (running.load() > 0) {
            int c = static_cast<int>(rng() % 2);
            if (live[c].empty() || (live[c].size() < 6 && rng() % 3 != 0)) {
                std::string name = "dup" + std::to_string(n++) + ".ts";
                WStr buf = Path(name);
                buf.resize(600, 0);
                DWORD out = 0;
                if (q.DuplicateSave(mains[c].c_str(), &out, &buf[0], 600, 0, 0)) {
                    live[c].push_back(out);
                    dup_files[c].push_back(dir.File(name));
                }
            } else if (!live[c].empty()) {
                std::size_t pick = rng() % live[c].size();
                DWORD out = live[c][pick];
                q.DuplicateSave(mains[c].c_str(), &out, nullptr, 0, -1, 0);
                live[c].erase(live[c].begin() + static_cast<std::ptrdiff_t>(pick));
            }
            // The feeders start once both controls have a duplicate waiting.
            if (!live[0].empty() && !live[1].empty())
                go.store(true);
            // A pause between changes, so a few hundred files come and go, not thousands.
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    std::thread first([&] { Feed(q, &feeders[0], 1, &go); --running; });
    std::thread second([&] { Feed(q, &feeders[1], 2, &go); --running; });
    first.join();
    second.join();
    adder.join();
    for (int c = 0; c < 2; ++c)
        ASSERT_TRUE(q.StopSave(feeders[c].id));

    int joined = 0;
    for (int c = 0; c < 2; ++c) {
        const Feeder& f = feeders[c];
        EXPECT_TRUE(f.ok) << c;
        EXPECT_TRUE(ReadBytes(N(mains[c])) == f.stream) << c;
        for (const std::string& file : dup_files[c]) {
            std::string bytes = ReadBytes(file);
            if (bytes.empty())
                continue;  // removed before its first boundary came
            ++joined;
            // Where it began: the only boundary whose stream bytes it holds.
            std::size_t begin = std::string::npos;
            const std::size_t head = std::min(bytes.size(), unit);
            for (std::size_t b = 0; b + bytes.size() <= f.stream.size(); b += unit) {
                if (f.stream.compare(b, head, bytes, 0, head) == 0 &&
                    f.stream.compare(b, bytes.size(), bytes) == 0) {
                    begin = b;
                    break;
                }
            }
            ASSERT_NE(begin, std::string::npos) << file << " holds no unit-aligned piece";
            EXPECT_EQ(f.ends.count(begin + bytes.size()), 1u) << file << " ends inside a buffer";
        }
    }
    EXPECT_GT(joined, 0);
}

}  // namespace
