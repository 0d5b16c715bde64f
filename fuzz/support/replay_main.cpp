// Runs fuzz targets without libFuzzer: every file named on the command line,
// or found directly in a directory named there, is passed once to
// LLVMFuzzerTestOneInput. Arguments starting with '-' (libFuzzer's options)
// are ignored, so the same command line works for both builds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
    return false;
  }
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
  // A buffer of exactly the input's size, so that AddressSanitizer catches a
  // read past its end as it would under libFuzzer.
  auto exact = std::make_unique<uint8_t[]>(bytes.size());
  std::memcpy(exact.get(), bytes.data(), bytes.size());
  LLVMFuzzerTestOneInput(exact.get(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool ok = true;
  size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.starts_with("-")) continue;
    std::filesystem::path path(arg);
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
    } else {
      files.push_back(path);
    }
    for (const auto& file : files) {
      ok = replay(file) && ok;
      ++inputs;
    }
  }
  std::fprintf(stderr, "replay: %zu inputs\n", inputs);
  return ok ? 0 : 1;
}
