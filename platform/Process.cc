#include "platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
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

namespace {

// Starts program with stdin and stdout on /dev/null, standardError as its fd 2, passFd (when
// valid) as its fd 3, and nothing else of ours.
pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
            int standardError, int passFd) {
  SpawnSetup setup;
  check(
      ::posix_spawn_file_actions_addopen(setup.actions(), STDIN_FILENO, "/dev/null", O_RDONLY, 0));
  check(
      ::posix_spawn_file_actions_addopen(setup.actions(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0));
  check(::posix_spawn_file_actions_adddup2(setup.actions(), standardError, STDERR_FILENO));
  int firstClosed = STDERR_FILENO + 1;
  if (passFd >= 0)
    check(::posix_spawn_file_actions_adddup2(setup.actions(), passFd, firstClosed++));
  // Everything else stays ours, whether or not it was opened close-on-exec: a tool that
  // daemonises must not carry our lock or another pipe for as long as it lives.
  check(::posix_spawn_file_actions_addclosefrom_np(setup.actions(), firstClosed));
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

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  // NOLINTBEGIN(cppcoreguidelines-pro-type-const-cast): exec's argument array is not const
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  // NOLINTEND(cppcoreguidelines-pro-type-const-cast)
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (int error = ::posix_spawn(&pid, program.c_str(), setup.actions(), setup.attributes(),
                                argv.data(), environ);
      error != 0) {
    throw errnoError(error, "Cannot launch", program);
  }
  return pid;
}

int waitFor(pid_t pid, const std::string& program) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throwErrno("Cannot wait for", program);
  }
  return status;
}

// Appends what remains of fd to out; false on a read error.
bool readToEnd(int fd, std::string& out) {
  std::array<char, 65536> buffer{};
  for (;;) {
    const ssize_t count = ::read(fd, buffer.data(), buffer.size());
    if (count > 0) {
      out.append(buffer.data(), static_cast<std::size_t>(count));
    } else if (count == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

}  // namespace

ProcessResult spawnAndWait(const fs::path& executable, const std::vector<std::string>& arguments) {
  std::array<int, 2> ends{-1, -1};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
    throwErrno("Cannot create a pipe for", executable.string());
  }
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  const std::string program = executable.string();
  const pid_t pid = spawn(program, arguments, writeEnd.get(), -1);
  writeEnd.reset();  // the child's copy is the only writer left: end of file when it is done

  // Read to the end first: a tool that writes more than a pipe holds would otherwise block
  // while we wait for it. A read error loses the rest of the text, never the child's status;
  // closing our end then makes a child that is still writing end instead of blocking.
  ProcessResult result;
  readToEnd(readEnd.get(), result.standardError);
  readEnd.reset();
  result.waitStatus = waitFor(pid, program);
  return result;
}

ProcessResult runLeavingDaemons(const fs::path& executable,
                                const std::vector<std::string>& arguments, int passFd) {
  UniqueFd errors(::memfd_create("standard-error", MFD_CLOEXEC));
  if (!errors) throwErrno("Cannot create a standard error file for", executable.string());
  // dup2 onto itself would keep close-on-exec set, and the descriptor would not arrive.
  UniqueFd moved;
  if (passFd == STDERR_FILENO + 1) {
    moved = UniqueFd(::fcntl(passFd, F_DUPFD_CLOEXEC, STDERR_FILENO + 2));
    if (!moved) throwErrno("Cannot pass a descriptor to", executable.string());
    passFd = moved.get();
  }
  const std::string program = executable.string();
  ProcessResult result;
  result.waitStatus = waitFor(spawn(program, arguments, errors.get(), passFd), program);
  if (::lseek(errors.get(), 0, SEEK_SET) == 0) readToEnd(errors.get(), result.standardError);
  return result;
}

ProcessResult Env::runProcess(const fs::path& executable,
                              const std::vector<std::string>& arguments) {
  // The installed Env's root, not this object's: a wrapper that moved the root forwards here.
  return spawnAndWait(env().platformRoot() / executable.relative_path(), arguments);
}

}  // namespace platform
