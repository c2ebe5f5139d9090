// What every fuzz target shares. Included by the one file of each target, which defines fuzzOne;
// FuzzDriver.cc calls that directly, libFuzzer through the entry point defined here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tests/support/TestSupport.h"

namespace fuzzing {

// One input, as bytes in a string_view.
void fuzzOne(std::string_view input);

// Runs call; an exception of one of the listed types is an accepted outcome, any other escapes.
template <typename Error, typename... More, typename Call>
void tolerating(Call&& call) {
  try {
    if constexpr (sizeof...(More) == 0) {
      call();
    } else {
      tolerating<More...>(call);
    }
  } catch (const Error&) {
  }
}

// A broken promise stops the run as a crash would, so that both drivers report it.
inline void require(bool holds) {
  if (!holds) __builtin_trap();
}

// A test folder that is the platform root for the whole run. Its log is dropped: over millions of
// inputs the lines would pile up.
struct Root {
  struct QuietEnv : testing_support::TestEnv {
    using TestEnv::TestEnv;
    void log(std::string_view /*line*/) override {}
  };
  testing_support::TempDir dir;
  QuietEnv env{dir.path()};
  platform::ScopedEnvForTesting scoped{env};
};

}  // namespace fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::fuzzOne(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
