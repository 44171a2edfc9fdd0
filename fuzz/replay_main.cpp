// The main of a fuzz target outside the fuzzing build: it runs every file
// named on the command line (or held in a folder named there) through the
// target once, as libFuzzer would run its corpus. The suite runs the seed
// corpora this way in the plain and sanitizer builds.
#include "target_support.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void runFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::printf("%s (%zu bytes)\n", path.filename().c_str(), bytes.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

} // namespace

int main(int argc, char** argv)
{
    size_t runs = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            std::vector<std::filesystem::path> files;
            for (auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (auto& file : files) {
                runFile(file);
                runs++;
            }
        } else {
            runFile(path);
            runs++;
        }
    }
    zfuzz::endKeptObjects();
    std::printf("%zu inputs ran\n", runs);
    return runs > 0 ? 0 : 1;
}
