// A fuzz target without libFuzzer: runs LLVMFuzzerTestOneInput on every file of a folder
// whose name starts with a prefix, so that the normal tests replay the seeds and every kept
// crash. A failing check aborts, which fails the test.
//
//     json_document_fuzzer_replay FOLDER [PREFIX]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s FOLDER [PREFIX]\n", argv[0]);
    return 2;
  }
  const std::string prefix = argc == 3 ? argv[2] : "";
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
    if (entry.is_regular_file() && entry.path().filename().string().rfind(prefix, 0) == 0)
      inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  for (const auto& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s\n", path.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
