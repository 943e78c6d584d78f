// SPDX-License-Identifier: MIT
// Without libFuzzer, a fuzz target is a test: it runs over every file below the folders it is given.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char **argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; ++i)
        for (const auto &entry : std::filesystem::recursive_directory_iterator(argv[i])) {
            std::ifstream file(entry.path(), std::ios::binary);
            const std::string bytes { std::istreambuf_iterator<char>(file), {} };
            // Named first, so an input that aborts the run is known.
            if (entry.is_regular_file() && (std::cerr << entry.path().filename().string() << '\n')
                && ++inputs)
                LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
        }
    return inputs > 0 ? 0 : 1;
}
