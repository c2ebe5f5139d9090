// Runs a fuzz target without libFuzzer, so every build (GCC, sanitizers) exercises it: each file
// of the given corpus folders, then a fixed number of deterministic mutations of them (bit flips,
// byte changes, insertions, deletions, truncations, splices). A crash, a sanitizer report or a
// hang (ctest's timeout) fails the test. With clang, BRAMLOW_FUZZ=ON builds the same targets for
// libFuzzer instead, for open-ended runs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/TestSupport.h"

namespace fuzzing {
void fuzzOne(std::string_view input);  // the target's, see Fuzz.h
}

namespace {

std::string mutate(std::string input, const std::vector<std::string>& corpus,
                   std::mt19937_64& rng) {
  for (std::uint64_t steps = 1 + rng() % 4; steps > 0; --steps) {
    const std::size_t at = input.empty() ? 0 : rng() % input.size();
    const std::string& other = corpus[rng() % corpus.size()];
    const std::uint64_t kind = rng() % 6;
    if (kind == 0 && !input.empty()) input[at] = static_cast<char>(input[at] ^ (1u << (rng() % 8)));
    if (kind == 1 && !input.empty()) input[at] = static_cast<char>(rng());
    if (kind == 2) input.insert(at, 1 + rng() % 8, static_cast<char>(rng()));
    if (kind == 3 && !input.empty()) input.erase(at, 1 + rng() % 16);
    if (kind == 4) input.resize(at);
    if (kind == 5 && !other.empty())
      input.insert(at, other.substr(rng() % other.size(), 1 + rng() % 32));
  }
  return input;
}

}  // namespace

// Usage: TARGET [--iterations N] CORPUS_DIR...
int main(int argc, char** argv) {
  long iterations = 20000;
  std::vector<std::string> corpus;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--iterations" && i + 1 < argc) {
      iterations = std::strtol(argv[++i], nullptr, 10);
      continue;
    }
    for (const auto& entry : std::filesystem::directory_iterator(arg))
      corpus.push_back(testing_support::readFile(entry.path()));
  }
  if (corpus.empty()) corpus.emplace_back();
  for (const std::string& input : corpus) fuzzing::fuzzOne(input);
  std::mt19937_64 rng(20261206);
  for (long i = 0; i < iterations; ++i)
    fuzzing::fuzzOne(mutate(corpus[rng() % corpus.size()], corpus, rng));
  std::printf("%zu corpus inputs and %ld mutations ran\n", corpus.size(), iterations);
  return 0;
}
