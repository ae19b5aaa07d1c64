// A reference model of Quill_Spread's nine exports, shared by the randomized model test (its
// choices from a seeded generator) and the fuzz target (its choices from the fuzzer's bytes).
//
// The model drives the portable core linked into the test program over the test seam: each
// step is one call of an export with chosen ids, sizes, paths, removals and faults (failed or
// shortened output writes, a lost library path, a nested plug-in inside the test program that
// fails the calls chosen for it), and after every call the result, the path every control
// reports, the bytes every output received and the calls the nested plug-in saw are compared
// with what the model expects. Settings files switch between direct-file mode (files in the
// run's folder) and nested mode whenever the last control is deleted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>

namespace quill_model {

// Where the model's choices come from.
class Choices {
public:
    virtual ~Choices() = default;
    // A number below n (n at least 1).
    virtual std::uint32_t Pick(std::uint32_t n) = 0;
    bool Chance(std::uint32_t percent) { return Pick(100) < percent; }
};

class RandomChoices : public Choices {
public:
    explicit RandomChoices(std::uint32_t seed) : rng_(seed) {}
    std::uint32_t Pick(std::uint32_t n) override
    {
        return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng_);
    }

private:
    std::mt19937 rng_;
};

// Choices read from bytes, as many as the range needs (one byte up to 256, two up to 65536,
// else four). When the bytes are used up every choice is 0 and exhausted() turns true.
class ByteChoices : public Choices {
public:
    ByteChoices(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint32_t Pick(std::uint32_t n) override;
    bool exhausted() const { return size_ == 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

class Model {
public:
    // dir: an empty folder for this run (the library's "own file", its settings and the output
    // files go there). While the model lives it owns the test seam's settings, the process's
    // PATH (emptied, so that Setting finds no editor) and the library's state.
    Model(const std::string& dir, Choices& choices);
    ~Model();
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // One call, checked; false at the first mismatch, described by failure().
    bool Step();
    // Deletes every control and compares every output's bytes in full.
    bool Finish();
    const std::string& failure() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quill_model
