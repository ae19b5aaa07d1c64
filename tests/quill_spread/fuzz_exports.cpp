// Fuzz target: the input's bytes choose a sequence of calls of the nine exports (ids, buffer
// sizes, paths, removals, failed and shortened writes, the settings and with them the mode,
// and where the nested plug-in fails), and every call is checked against the reference model
// (model.h). Output files go to a scratch folder in memory, emptied after every input.
#include "fuzz_support.h"
#include "model.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace {

// At most this many calls per input, so that a run tries many inputs.
constexpr int max_calls = 300;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string dir = fuzz_support::ScratchFolder() + "/run";
    std::filesystem::create_directories(dir);
    quill_model::ByteChoices choices(data, size);
    {
        quill_model::Model model(dir, choices);
        for (int call = 0; call < max_calls && !choices.exhausted(); ++call) {
            if (!model.Step())
                fuzz_support::Oracle(model.failure());
        }
        if (!model.Finish())
            fuzz_support::Oracle(model.failure());
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
