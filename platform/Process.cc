#include "platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

#include "platform/Env.h"
#include "platform/Errors.h"
#include "platform/Fd.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace platform {
namespace fs = std::filesystem;

namespace {

// posix_spawn's attribute and file-action objects, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    if (int error = ::posix_spawn_file_actions_init(&actions_); error != 0) {
      throw errnoError(error, "Cannot prepare a child process");
    }
    if (int error = ::posix_spawnattr_init(&attributes_); error != 0) {
      ::posix_spawn_file_actions_destroy(&actions_);
      throw errnoError(error, "Cannot prepare a child process");
    }
  }
  ~SpawnSetup() {
    ::posix_spawnattr_destroy(&attributes_);
    ::posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attributes() { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
};

void check(int error) {
  if (error != 0) throw errnoError(error, "Cannot prepare a child process");
}

}  // namespace

bool ProcessResult::succeeded() const {
  return WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
}

ProcessResult spawnAndWait(const fs::path& executable, const std::vector<std::string>& arguments) {
  std::array<int, 2> ends{-1, -1};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0)
    throwErrno("Cannot create a pipe for", executable.string());
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);

  SpawnSetup setup;
  check(
      ::posix_spawn_file_actions_addopen(setup.actions(), STDIN_FILENO, "/dev/null", O_RDONLY, 0));
  check(
      ::posix_spawn_file_actions_addopen(setup.actions(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0));
  check(::posix_spawn_file_actions_adddup2(setup.actions(), writeEnd.get(), STDERR_FILENO));
  // Everything else stays ours, whether or not it was opened close-on-exec: a tool that
  // daemonises must not carry our lock or another pipe for as long as it lives.
  check(::posix_spawn_file_actions_addclosefrom_np(setup.actions(), STDERR_FILENO + 1));
  // The tool starts with every signal unblocked and SIGPIPE at its default, whatever this
  // process (a service that ignores SIGPIPE) uses.
  sigset_t none;
  sigset_t defaults;
  ::sigemptyset(&none);
  ::sigemptyset(&defaults);
  ::sigaddset(&defaults, SIGPIPE);
  check(::posix_spawnattr_setsigmask(setup.attributes(), &none));
  check(::posix_spawnattr_setsigdefault(setup.attributes(), &defaults));
  check(::posix_spawnattr_setflags(setup.attributes(),
                                   POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));

  const std::string program = executable.string();
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(
      const_cast<char*>(program.c_str()));  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  for (const std::string& argument : arguments) {
    argv.push_back(
        const_cast<char*>(argument.c_str()));  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  }
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (int error = ::posix_spawn(&pid, program.c_str(), setup.actions(), setup.attributes(),
                                argv.data(), environ);
      error != 0) {
    throw errnoError(error, "Cannot launch", program);
  }
  writeEnd.reset();  // the child's copy is the only writer left: end of file when it is done

  // Read to the end first: a tool that writes more than a pipe holds would otherwise block
  // while we wait for it.
  ProcessResult result;
  std::array<char, 65536> buffer{};
  for (;;) {
    const ssize_t count = ::read(readEnd.get(), buffer.data(), buffer.size());
    if (count > 0) {
      result.standardError.append(buffer.data(), static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      break;  // a read error loses the rest of the text, never the child's status
    }
  }
  readEnd.reset();  // after a read error, a child still writing ends instead of blocking us
  while (::waitpid(pid, &result.waitStatus, 0) < 0) {
    if (errno != EINTR) throwErrno("Cannot wait for", program);
  }
  return result;
}

ProcessResult Env::runProcess(const fs::path& executable,
                              const std::vector<std::string>& arguments) {
  // The installed Env's root, not this object's: a wrapper that moved the root forwards here.
  return spawnAndWait(env().platformRoot() / executable.relative_path(), arguments);
}

}  // namespace platform
