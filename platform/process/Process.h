// Child processes: how the system's tools are started and how their end is reported. Env's
// runProcess (see Env.h) is the one way the system's code starts a process.
//
// A child started here never outlives the thread that started it: it is killed (SIGKILL) when
// that thread ends, so a killed caller leaves no tool running that the next caller could race.
// What the child itself forks (a daemon) is free of this.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// How a child process ended and what it wrote to its standard error.
struct ProcessResult {
  int waitStatus = 0;  // as waitpid(2) reports it
  std::string standardError;
  // Exited normally with status 0; a signal or any other status is a failure.
  bool succeeded() const;
};

// The real launch behind Env::runProcess, with the executable path already resolved.
ProcessResult spawnAndWait(const std::filesystem::path& executable,
                           const std::vector<std::string>& arguments);

// For a tool that may leave a daemon behind (a file-system server): standard input and output are
// /dev/null and standard error an anonymous file read once the tool has exited, so nothing the
// daemon keeps open holds up the caller; passFd, when not -1, becomes the tool's descriptor 3.
// The executable path is used as given. A launch failure throws std::system_error.
ProcessResult runLeavingDaemons(const std::filesystem::path& executable,
                                const std::vector<std::string>& arguments, int passFd = -1);

// Becomes the tool (execve) in place of this process, for a single-threaded tool whose last step
// is another program: standard input and output become /dev/null, standard error stays, passFd
// (when not -1) becomes descriptor 3, and no other descriptor survives. Returns only by throwing
// std::system_error; the descriptors may then already have moved.
[[noreturn]] void replaceProcess(const std::filesystem::path& executable,
                                 const std::vector<std::string>& arguments, int passFd = -1);

}  // namespace platform
