// Randomized model test: long random sequences of all nine exports, with random buffer sizes,
// write faults injected through the test seam and a nested plug-in that fails at random,
// checked after every call against the reference model (model.h).
#include "model.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(QuillModel, random_calls_match_the_reference_model)
{
    for (std::uint32_t seed = 1; seed <= 24; ++seed) {
        test_support::ScratchDir dir("quill-model");
        quill_model::RandomChoices choices(seed);
        quill_model::Model model(dir.path(), choices);
        int step = 0;
        while (step < 400 && model.Step())
            ++step;
        ASSERT_EQ(step, 400) << "seed " << seed << ": " << model.failure();
        ASSERT_TRUE(model.Finish()) << "seed " << seed << ": " << model.failure();
    }
}

}  // namespace
