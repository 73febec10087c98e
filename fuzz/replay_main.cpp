// Runs the fuzz target once on each file named on the command line (a folder
// stands for the files in it), without the fuzzing engine: the regression
// inputs and the seed corpus become an ordinary test of the normal build.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replay(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot be read\n", file.c_str());
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    // An exactly sized copy, so a read past the end is caught by the sanitizer.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    int files = 0;
    bool ok = true;
    for (int a = 1; a < argc; ++a) {
        const std::filesystem::path path(argv[a]);
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) {
            std::vector<std::filesystem::path> entries;
            for (const auto& e : std::filesystem::directory_iterator(path))
                if (e.is_regular_file()) entries.push_back(e.path());
            for (const auto& e : entries) ok = replay(e) && ok, ++files;
        } else {
            ok = replay(path) && ok;
            ++files;
        }
    }
    std::printf("replayed %d inputs\n", files);
    return ok ? 0 : 1;
}
