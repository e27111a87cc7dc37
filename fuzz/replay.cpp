// Feeds every file of the given folders (or the given files) to the fuzz entry point once, without
// libFuzzer: the corpus and the inputs that once crashed replay in the normal test run. A fault aborts.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file()) replay(entry.path()), ++count;
        } else if (std::filesystem::exists(path)) {
            replay(path), ++count;
        }
    }
    std::printf("%zu input(s) replayed\n", count);
    return count > 0 ? 0 : 1;  // an empty corpus is a mistake of the build, not a pass
}
