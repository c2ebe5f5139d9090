// A stand-in tool for the command runner's tests:
//   command_helper EXIT_CODE [--out BYTES] [--err BYTES] [--text TEXT] [--fds] [--kill]
// writes BYTES to standard output or error, TEXT to standard error, with --fds the numbers of its
// open descriptors to standard error (one a line), then exits with EXIT_CODE (or dies by SIGKILL).
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

void writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t count = ::write(fd, data.data() + done, data.size() - done);
    if (count <= 0) std::_Exit(99);
    done += static_cast<std::size_t>(count);
  }
}

std::string openDescriptors() {
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) std::_Exit(98);
  std::string out;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || std::stoi(name) == ::dirfd(folder)) continue;
    out += name + "\n";
  }
  ::closedir(folder);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 97;
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool hasValue = i + 1 < argc;
    if (argument == "--out" && hasValue) {
      writeAll(STDOUT_FILENO, std::string(std::stoul(argv[++i]), 'o'));
    } else if (argument == "--err" && hasValue) {
      writeAll(STDERR_FILENO, std::string(std::stoul(argv[++i]), 'e'));
    } else if (argument == "--text" && hasValue) {
      writeAll(STDERR_FILENO, argv[++i]);
    } else if (argument == "--fds") {
      writeAll(STDERR_FILENO, openDescriptors());
    } else if (argument == "--kill") {
      ::kill(::getpid(), SIGKILL);
    }
  }
  return std::atoi(argv[1]);
}
