// SPDX-License-Identifier: Apache-2.0
// Runs every file of the given corpus folders (or single files) through the fuzz target once, so
// that the checked-in corpus is an ordinary test of the normal build without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int replayFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return 1;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    // An empty vector has no data pointer; libFuzzer passes a valid one even for empty inputs.
    static const uint8_t kNothing = 0;
    (void)LLVMFuzzerTestOneInput(bytes.empty() ? &kNothing : bytes.data(), bytes.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int failures = 0;
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path root(argv[i]);
        if (std::filesystem::is_directory(root)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
                if (!entry.is_regular_file()) continue;
                failures += replayFile(entry.path());
                ++replayed;
            }
        } else {
            failures += replayFile(root);
            ++replayed;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    return failures == 0 && replayed > 0 ? 0 : 1;
}
