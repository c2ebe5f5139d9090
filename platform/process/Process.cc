#include "platform/process/Process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

#include "platform/env/Errors.h"
#include "platform/env/Fd.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace platform {
namespace fs = std::filesystem;

namespace {

// exec's argument array points into program and arguments, which must outlive it.
std::vector<char*> argumentVector(const std::string& program,
                                  const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  // NOLINTBEGIN(cppcoreguidelines-pro-type-const-cast): exec's argument array is not const
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  // NOLINTEND(cppcoreguidelines-pro-type-const-cast)
  argv.push_back(nullptr);
  return argv;
}

// Puts descriptor from at number to, without close-on-exec (dup2 onto itself would keep it).
int moveTo(int from, int to) noexcept {
  if (from == to) return ::fcntl(to, F_SETFD, 0);
  return ::dup2(from, to) < 0 ? -1 : 0;
}

// The descriptors a tool starts with: /dev/null as standard input and output, standardError (or,
// with -1, the current one) as standard error, passFd (when not -1) as descriptor 3, and nothing
// else of ours, whether or not it was opened close-on-exec: a tool that daemonises must not carry
// our lock or another pipe for as long as it lives. Every other descriptor closes at exec, so a
// report pipe still works until then. Only calls that are safe between fork and exec; 0, or -1
// with errno set.
int arrangeDescriptors(int standardError, int passFd) noexcept {
  // These first, so that opening /dev/null cannot take their numbers.
  if (standardError >= 0 && moveTo(standardError, STDERR_FILENO) != 0) return -1;
  unsigned int firstClosed = STDERR_FILENO + 1;
  if (passFd >= 0 && moveTo(passFd, static_cast<int>(firstClosed++)) != 0) return -1;
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return -1;
  if (moveTo(null, STDIN_FILENO) != 0 || moveTo(null, STDOUT_FILENO) != 0) return -1;
  return ::close_range(firstClosed, ~0U, CLOSE_RANGE_CLOEXEC);
}

// The tool starts with every signal unblocked and SIGPIPE at its default whatever this process (a
// service that ignores it) does. exec itself puts every caught signal back to its default; only
// ignored ones carry over, and SIGPIPE is the one of those we undo.
void unblockSignals() noexcept {
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &byDefault, nullptr);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Between fork and exec the child still runs our handlers, so they go back to their defaults
// before the signals are unblocked: a handler of ours must not run in the child.
void resetSignals() noexcept {
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN &&
        current.sa_handler != SIG_DFL) {
      ::sigaction(signal, &byDefault, nullptr);
    }
  }
  unblockSignals();
}

// What a child that could not become the tool writes to its parent before it exits.
struct LaunchFailure {
  int error = 0;
  int launching = 0;  // 1: execve failed (rather than the preparation)
};

[[noreturn]] void reportAndExit(int report, int launching) noexcept {
  const LaunchFailure failure{errno, launching};
  [[maybe_unused]] const ssize_t written = ::write(report, &failure, sizeof failure);
  ::_exit(127);
}

// In the child of fork: everything until exec allocates nothing and takes no lock.
[[noreturn]] void becomeTool(const char* program, char* const* argv, int standardError, int passFd,
                             int report, pid_t parent) noexcept {
  // The tool dies with the thread that started it: a killed updater must not leave a copy or an
  // attach running that the next operation would race. Should the parent be gone already, the
  // signal will never come, and nobody waits for the tool either.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) reportAndExit(report, 0);
  if (::getppid() != parent) ::_exit(127);
  // Above the numbers the tool's descriptors take.
  report = ::fcntl(report, F_DUPFD_CLOEXEC, STDERR_FILENO + 2);
  if (report < 0) ::_exit(127);
  if (arrangeDescriptors(standardError, passFd) != 0) reportAndExit(report, 0);
  resetSignals();
  ::execve(program, argv, environ);
  reportAndExit(report, 1);
}

int waitFor(pid_t pid, const std::string& program) {
  int status = 0;
  if (retryOnEintr([&] { return ::waitpid(pid, &status, 0); }) < 0) {
    throwErrno("Cannot wait for", program);
  }
  return status;
}

// Starts program as a child of the calling thread, with standardError as its fd 2, passFd (when
// valid) as its fd 3, and nothing else of ours. Returns once the child runs the program; a child
// that could not is waited for and its failure thrown.
pid_t startChild(const std::string& program, const std::vector<std::string>& arguments,
                 int standardError, int passFd) {
  std::vector<char*> argv = argumentVector(program, arguments);
  std::array<int, 2> ends{-1, -1};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) throwErrno("Cannot prepare a child process");
  UniqueFd reportRead(ends[0]);
  UniqueFd reportWrite(ends[1]);
  const pid_t parent = ::getpid();
  // Every signal stays blocked in the child until its handlers are back at their defaults.
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = ::fork();
  if (pid == 0) {
    becomeTool(program.c_str(), argv.data(), standardError, passFd, reportWrite.get(), parent);
  }
  const int forkError = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) throw errnoError(forkError, "Cannot launch", program);
  reportWrite.reset();  // end of file once the child has exec'd

  LaunchFailure failure;
  const ssize_t count =
      retryOnEintr([&] { return ::read(reportRead.get(), &failure, sizeof failure); });
  if (count == sizeof failure) {
    waitFor(pid, program);
    throw errnoError(failure.error,
                     failure.launching != 0 ? "Cannot launch" : "Cannot prepare a child process",
                     program);
  }
  return pid;
}

// Appends what remains of fd to out; false on a read error.
bool readToEnd(int fd, std::string& out) {
  std::array<char, 65536> buffer{};
  for (;;) {
    const ssize_t count = retryOnEintr([&] { return ::read(fd, buffer.data(), buffer.size()); });
    if (count < 0) return false;
    if (count == 0) return true;
    out.append(buffer.data(), static_cast<std::size_t>(count));
  }
}

}  // namespace

bool ProcessResult::succeeded() const {
  return WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
}

ProcessResult spawnAndWait(const fs::path& executable, const std::vector<std::string>& arguments) {
  std::array<int, 2> ends{-1, -1};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
    throwErrno("Cannot create a pipe for", executable.string());
  }
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  const std::string program = executable.string();
  const pid_t pid = startChild(program, arguments, writeEnd.get(), -1);
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
  const std::string program = executable.string();
  ProcessResult result;
  result.waitStatus = waitFor(startChild(program, arguments, errors.get(), passFd), program);
  if (::lseek(errors.get(), 0, SEEK_SET) == 0) readToEnd(errors.get(), result.standardError);
  return result;
}

void replaceProcess(const fs::path& executable, const std::vector<std::string>& arguments,
                    int passFd) {
  const std::string program = executable.string();
  std::vector<char*> argv = argumentVector(program, arguments);
  if (arrangeDescriptors(-1, passFd) != 0) throwErrno("Cannot prepare", program);
  unblockSignals();
  ::execve(program.c_str(), argv.data(), environ);
  throwErrno("Cannot launch", program);
}

}  // namespace platform
