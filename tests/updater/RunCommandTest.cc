// The command runner against a real child process: stream wiring, the read-then-wait order, the
// log line and the failure it raises.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <system_error>

#include "platform/Fd.h"
#include "shared/UpdateFailure.h"
#include "tests/support/FailureText.h"
#include "tests/support/TestSupport.h"
#include "updater/runCommand.h"

namespace {
namespace fs = std::filesystem;
namespace markers = bramlow::markers;
using namespace testing_support;

class RunCommandTest : public ::testing::Test {
 protected:
  RunCommandTest() : env_(dir_.path()), scoped_(env_) {
    // The system's tools live under the platform root.
    fs::create_directories(dir_.path() / "usr/bin");
    fs::create_symlink(COMMAND_HELPER, dir_.path() / "usr/bin/helper");
  }
  TempDir dir_;
  TestEnv env_;
  platform::ScopedEnvForTesting scoped_;
};

TEST_F(RunCommandTest, ExitStatusAndStandardError) {
  const std::string big = std::to_string(4 << 20);
  const std::string prefix = "Update command /usr/bin/helper failed: ";
  const std::string fail(markers::kCouldNotVerifyOrPrepare);
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    std::string failure;
    std::string logged;  // "" for no log line
  } rows[] = {
      {"exit 0 after writing to stderr", {"0", "--text", "warning"}, "", ""},
      {"megabytes on both streams, exit 0", {"0", "--out", big, "--err", big}, "", ""},
      {"megabytes on stderr, exit 3",
       {"3", "--out", big, "--err", big},
       fail,
       prefix + std::string(4 << 20, 'e')},
      {"exit 1, nothing on stderr", {"1"}, fail, prefix},
      {"stderr not UTF-8", {"2", "--text", "bad \xC3\x28 byte"}, fail, prefix},
      {"UTF-8 text", {"2", "--text", "gr\xC3\xBC\xC3\x9F"}, fail, prefix + "gr\xC3\xBC\xC3\x9F"},
      {"killed by a signal", {"0", "--text", "dying", "--kill"}, fail, prefix + "dying"},
      // Only the three standard streams reach the tool, also from a descriptor opened without
      // close-on-exec.
      {"no descriptor of ours", {"1", "--fds"}, fail, prefix + "0\n1\n2\n"},
  };
  const platform::UniqueFd inheritable(
      ::open("/dev/null", O_RDONLY));  // NOLINT(android-cloexec-open)
  ASSERT_TRUE(inheritable.valid());
  for (const auto& row : rows) {
    const std::size_t before = env_.logLines().size();
    EXPECT_EQ(failureText([&] { bramlow::runCommand("/usr/bin/helper", row.arguments); }),
              row.failure)
        << row.name;
    const std::vector<std::string> lines = env_.logLines();
    if (row.logged.empty()) {
      EXPECT_EQ(lines.size(), before) << row.name;
    } else {
      ASSERT_EQ(lines.size(), before + 1) << row.name;
      EXPECT_TRUE(lines.back() == row.logged) << row.name << ": " << lines.back().substr(0, 200);
    }
  }
}

TEST_F(RunCommandTest, LaunchFailurePassesThroughWithoutLogLine) {
  writeFile(dir_.path() / "usr/bin/not-executable", "#!/bin/sh\n");
  for (const char* path : {"/usr/bin/missing", "/usr/bin/not-executable"}) {
    EXPECT_THROW(bramlow::runCommand(path, {}), std::system_error) << path;
  }
  EXPECT_TRUE(env_.logLines().empty());
}

}  // namespace
