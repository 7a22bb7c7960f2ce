// Runs a fuzz target over kept inputs, without libFuzzer: each argument is a
// file, or a folder whose files are all run. Exits 0 when every input passed
// (a failing one aborts inside the target), 1 when there was nothing to run
// or a file could not be read.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static bool run_file(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s (%zu bytes)\n", file.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    int runs = 0;
    for (int a = 1; a < argc; a++) {
        std::vector<fs::path> files;
        if (fs::is_directory(argv[a])) {
            for (const auto &entry : fs::directory_iterator(argv[a]))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
        } else {
            files.push_back(argv[a]);
        }
        for (const auto &file : files) {
            if (!run_file(file))
                return 1;
            runs++;
        }
    }
    std::fprintf(stderr, "%d inputs passed\n", runs);
    return runs > 0 ? 0 : 1;
}
