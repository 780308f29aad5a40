// The driver of the fuzz targets in builds without libFuzzer: runs a target over the files of its corpus
// (files or directories, in name order), then, with --mutations N, over N seeded mutations of each file
// (bytes flipped, cut, repeated or spliced from another file), so the corpus is a regression test and a
// short mutation run in every build. A broken property aborts inside the target; an empty corpus fails.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using bytes = std::vector<uint8_t>;

bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void collect(const std::filesystem::path& path, std::vector<std::filesystem::path>& files) {
  if (!std::filesystem::is_directory(path)) {
    files.push_back(path);
    return;
  }
  std::vector<std::filesystem::path> entries;
  for (const auto& entry : std::filesystem::directory_iterator(path))
    if (entry.is_regular_file()) entries.push_back(entry.path());
  std::sort(entries.begin(), entries.end());
  files.insert(files.end(), entries.begin(), entries.end());
}

bytes mutate(bytes input, const bytes& other, std::mt19937_64& random) {
  auto below = [&random](size_t bound) { return bound == 0 ? size_t{0} : static_cast<size_t>(random() % bound); };
  for (int steps = 1 + static_cast<int>(random() % 3); steps > 0; --steps) {
    const size_t at = below(input.size() + 1);
    switch (random() % 5) {
      case 0:
        if (!input.empty()) input[below(input.size())] ^= static_cast<uint8_t>(1 + random() % 255);
        break;
      case 1: input.resize(at); break;
      case 2: input.insert(input.begin() + static_cast<ptrdiff_t>(at), static_cast<uint8_t>(random())); break;
      case 3: {  // repeat a stretch: deeper nesting, longer runs
        const size_t length = below(std::min<size_t>(input.size() - at, 64) + 1);
        const bytes stretch(input.begin() + static_cast<ptrdiff_t>(at), input.begin() + static_cast<ptrdiff_t>(at + length));
        input.insert(input.begin() + static_cast<ptrdiff_t>(at), stretch.begin(), stretch.end());
        break;
      }
      default: {  // splice in a stretch of another input
        const size_t from = below(other.size() + 1);
        const size_t length = below(std::min<size_t>(other.size() - from, 64) + 1);
        input.insert(input.begin() + static_cast<ptrdiff_t>(at), other.begin() + static_cast<ptrdiff_t>(from),
                     other.begin() + static_cast<ptrdiff_t>(from + length));
        break;
      }
    }
  }
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mutations = 0;
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--mutations") == 0 && i + 1 < argc) {
      mutations = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::filesystem::exists(argv[i])) {
      collect(argv[i], files);
    } else {
      std::fprintf(stderr, "no such corpus: %s\n", argv[i]);
      return 2;
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s [--mutations N] CORPUS...\n", argv[0]);
    return 2;
  }
  std::vector<bytes> corpus;
  for (const auto& file : files) corpus.push_back(read_file(file));
  for (const bytes& input : corpus) LLVMFuzzerTestOneInput(input.data(), input.size());
  std::mt19937_64 random(20261207);  // fixed: a failure reproduces
  for (uint64_t round = 0; round < mutations; ++round) {
    for (const bytes& input : corpus) {
      const bytes mutated = mutate(input, corpus[random() % corpus.size()], random);
      LLVMFuzzerTestOneInput(mutated.data(), mutated.size());
    }
  }
  std::printf("%zu corpus inputs, %llu mutations of each: no property broken\n", corpus.size(),
              static_cast<unsigned long long>(mutations));
  return 0;
}
