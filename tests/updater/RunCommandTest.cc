// The command runner against a real child process: stream wiring, the read-then-wait order, the
// log line and the failure it raises.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/env/Fd.h"
#include "shared/UpdateFailure.h"
#include "tests/support/FailureText.h"
#include "tests/support/TestSupport.h"
#include "updater/runCommand.h"

namespace {
namespace fs = std::filesystem;
namespace markers = bramlow::markers;
using bramlow::runCommand;
using namespace testing_support;

class RunCommandTest : public TestEnvTest {
 protected:
  RunCommandTest() {
    // The system's tools live under the platform root; a shell stands in for one here.
    fs::create_directories(dir_.path() / "usr/bin");
    fs::create_symlink("/bin/sh", dir_.path() / "usr/bin/tool");
  }
};

TEST_F(RunCommandTest, ExitStatusAndStandardError) {
  const std::string bytes = "head -c 4194304 /dev/zero | tr '\\0' ";
  const std::string both = bytes + "o; " + bytes + "e >&2; ";
  const std::string prefix = "Update command /usr/bin/tool failed: ";
  const struct {
    const char* name;
    std::string script;
    std::optional<std::string> logged;  // the line logged, if any
    std::string_view expected = markers::kCouldNotVerifyOrPrepare;
  } rows[] = {
      {"text on stderr, exit 0", "echo fine >&2", std::nullopt, ""},
      {"nothing on stderr, exit 1", "exit 1", prefix},
      {"megabytes on stderr, exit 3", both + "exit 3", prefix + std::string(4 << 20, 'e')},
      {"stderr not UTF-8", "printf 'bad \\303\\050 byte' >&2; exit 2", prefix},
      {"killed by a signal", "echo dying >&2; kill -9 $$", prefix + "dying\n"},
      // Only the three standard streams reach the tool, also from a descriptor opened without
      // close-on-exec (3 is the folder ls reads).
      {"no descriptor of ours", "ls /proc/self/fd >&2; exit 1", prefix + "0\n1\n2\n3\n"},
  };
  const platform::UniqueFd inheritable(
      ::open("/dev/null", O_RDONLY));  // NOLINT(android-cloexec-open)
  ASSERT_TRUE(inheritable.valid());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> logged = env_.logLines();
    if (row.logged) logged.push_back(*row.logged);
    EXPECT_EQ(failureText([&] { runCommand("/usr/bin/tool", {"-c", row.script}); }), row.expected);
    EXPECT_EQ(env_.logLines(), logged);
  }
  // A tool that cannot be started raises the system's error, unlogged.
  EXPECT_THROW(runCommand("/usr/bin/missing", {}), std::system_error);
  EXPECT_EQ(env_.logLines().size(), std::size(rows) - 1);
}

}  // namespace
