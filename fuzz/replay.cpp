// Runs a fuzz target once on every file named (or found in a directory
// named) on the command line: the test suite replays the corpus this way
// where libFuzzer is not available.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static void replay(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

int main(int argc, char** argv)
{
    int n = 0;
    for (int k = 1; k < argc; k++) {
        std::filesystem::path p(argv[k]);
        if (std::filesystem::is_directory(p)) {
            for (auto& e : std::filesystem::directory_iterator(p))
                if (e.is_regular_file()) replay(e.path()), n++;
        } else {
            replay(p), n++;
        }
    }
    fprintf(stderr, "replayed %d inputs\n", n);
    return n > 0 ? 0 : 1;
}
