// The read loop's I/O over real files, as the program opens them: reads at the end of a file
// that another writer extends or fills in, and re-reading after a move back. (A writer that
// shares only reading is met end to end, in follow_test.cpp.)
#include "platform.h"
#include "tailgrip_core.h"

#include "test_files.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <string>
#include <vector>

using namespace test_support;

namespace {

std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

class FileIo : public ::testing::Test {
protected:
    std::string ReadSome(std::size_t size)
    {
        std::vector<unsigned char> buf(size);
        std::size_t n = io_->Read(buf.data(), size);
        return std::string(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
    }

    void Open(const std::string& path)
    {
        file_ = plat::OpenShared(Wide(path).c_str());
        ASSERT_NE(file_, nullptr);
        io_.reset(new tailgrip::FileLoopIo(file_, stdout));
    }

    void TearDown() override
    {
        if (file_ != nullptr)
            std::fclose(file_);
    }

    ScratchDir dir{"tailgrip-io"};
    std::FILE* file_ = nullptr;
    std::unique_ptr<tailgrip::FileLoopIo> io_;
};

// Regression: both runtimes answered 0 for ever once a read had met the end of the file, so a
// follower stopped at the first end it met. glibc remembers it for reads that go through the
// stream's buffer (smaller than the buffer), msvcrt for every read.
TEST_F(FileIo, read_after_the_end_sees_what_was_appended)
{
    for (std::size_t read_size : {1, 188, 65536}) {
        SCOPED_TRACE(read_size);
        const std::string path = dir.File("growing" + std::to_string(read_size) + ".ts");
        const std::string first = PatternBytes(1000, 1);
        ASSERT_TRUE(WriteFileBytes(path, first));
        Open(path);
        std::string got;
        for (std::string piece; !(piece = ReadSome(read_size)).empty();)
            got += piece;
        EXPECT_TRUE(got == first);
        EXPECT_EQ(ReadSome(read_size), "");

        for (std::size_t size : {1, 5000, 70000}) {
            const std::string more = PatternBytes(size, static_cast<std::uint32_t>(size));
            ASSERT_TRUE(AppendFileBytes(path, more));
            std::string again;
            for (std::string piece; !(piece = ReadSome(read_size)).empty();)
                again += piece;
            EXPECT_TRUE(again == more) << "after appending " << size << ": " << again.size();
        }
        std::fclose(file_);
        file_ = nullptr;
    }
}

TEST_F(FileIo, seek_back_reads_the_same_bytes_again)
{
    const std::string path = dir.File("again.ts");
    const std::string bytes = PatternBytes(200000, 2);
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    Open(path);
    EXPECT_TRUE(ReadSome(1) == bytes.substr(0, 1));
    std::string block = ReadSome(65424);
    EXPECT_TRUE(block == bytes.substr(1, 65424));
    io_->SeekBack(65424);
    EXPECT_TRUE(ReadSome(65424) == block);
    // And at the end, after a short read.
    ASSERT_EQ(plat::Seek64(file_, -1000, plat::SeekFrom::end), 0);
    EXPECT_EQ(ReadSome(65424).size(), 1000u);
    io_->SeekBack(1000);
    EXPECT_TRUE(ReadSome(65424) == bytes.substr(bytes.size() - 1000));
}

// Regression: reads went through the runtime's buffer, which had read ahead of the block. A file
// whose space was preallocated and is filled in later then came out with bytes as they were when
// read ahead: a first byte re-read after a move back stayed the old 0 for ever (glibc moves back
// inside its buffer), and the start of the block after a passed one held the old zeros.
TEST_F(FileIo, every_read_sees_the_file_as_it_is_now)
{
    const std::string path = dir.File("filled-in.ts");
    const std::size_t size = 7 * 65536;
    ASSERT_TRUE(WriteFileBytes(path, std::string(size, '\0')));
    Open(path);
    ASSERT_EQ(plat::Seek64(file_, 0, plat::SeekFrom::start), 0);  // the start position
    std::uint32_t version = 1;
    std::string now;
    // The producer writes the whole space anew, so every byte differs from what was there.
    auto rewrite = [&] {
        now = PatternBytes(size, version++);
        ASSERT_TRUE(WriteFileBytes(path, now));
    };
    std::size_t pos = 0;
    for (std::size_t read_size : {1, 65424, 65424, 1, 65535}) {
        SCOPED_TRACE(read_size);
        std::string first = ReadSome(read_size);
        rewrite();
        io_->SeekBack(first.size());
        EXPECT_TRUE(ReadSome(read_size) == now.substr(pos, read_size)) << "read again";
        rewrite();
        pos += read_size;
        EXPECT_TRUE(ReadSome(read_size) == now.substr(pos, read_size)) << "read on";
        pos += read_size;
    }
}

TEST_F(FileIo, seeks_from_start_and_end)
{
    const std::string path = dir.File("seek.ts");
    const std::string bytes = PatternBytes(1000, 3);
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    Open(path);
    EXPECT_EQ(plat::Seek64(file_, 0, plat::SeekFrom::end), 0);
    EXPECT_EQ(ReadSome(10), "");
    EXPECT_EQ(plat::Seek64(file_, -1000, plat::SeekFrom::end), 0);
    EXPECT_TRUE(ReadSome(10) == bytes.substr(0, 10));
    EXPECT_NE(plat::Seek64(file_, -1001, plat::SeekFrom::end), 0);
    EXPECT_EQ(plat::Seek64(file_, 5000, plat::SeekFrom::start), 0);  // past the end is fine
    EXPECT_EQ(ReadSome(10), "");
    ASSERT_TRUE(AppendFileBytes(path, PatternBytes(4010, 4)));
    EXPECT_TRUE(ReadSome(100) == PatternBytes(4010, 4).substr(4000));
    // That read came back short, not empty: it met the end all the same.
    ASSERT_TRUE(AppendFileBytes(path, "de"));
    EXPECT_EQ(ReadSome(100), "de");
}

#ifndef _WIN32
// A handler that runs during the pause (the program catches no signal, but a caller might)
// interrupts the system's sleep, which must go on to the end of the pause.
TEST(Pause, lasts_its_time_while_signal_handlers_run)
{
    static std::atomic<int> handled{0};
    struct sigaction action {}, was {};
    action.sa_handler = [](int) { ++handled; };
    ASSERT_EQ(sigaction(SIGUSR1, &action, &was), 0);
    std::atomic<bool> done{false};
    std::thread signaller([&done, sleeper = pthread_self()] {
        for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(1)))  // paces only
            pthread_kill(sleeper, SIGUSR1);
    });
    const auto start = std::chrono::steady_clock::now();
    plat::SleepMs(300);
    const auto slept = std::chrono::steady_clock::now() - start;
    EXPECT_GT(handled.load(), 0);
    done = true;
    signaller.join();
    sigaction(SIGUSR1, &was, nullptr);
    EXPECT_GE(slept, std::chrono::milliseconds(300));
}
#endif

}  // namespace
