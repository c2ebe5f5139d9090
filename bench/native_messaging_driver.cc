// A native-messaging client like the browser: starts the extension executable with pipes on its
// stdin and stdout and times each message from the first byte written to the last byte of the
// answer read. Each scenario NAME=JSON sends its message COUNT times, one at a time, and reports
// the median, the 99th percentile and the maximum in microseconds.
//
//   bench_native_messaging HOST COUNT NAME=JSON...
//
// Two ways per scenario, as a browser has them: "session" sends every message to one host process
// (a connected port), "process" starts a host per message and closes its input after it (a single
// message). The host inherits this process's environment.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Host {
  pid_t pid = -1;
  int input = -1;   // the host's stdin
  int output = -1;  // the host's stdout
};

Host start(const std::string& executable) {
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::string origin = "chrome-extension://bench/";
  char* argv[] = {const_cast<char*>(executable.c_str()), origin.data(), nullptr};
  Host host;
  const int spawned = ::posix_spawn(&host.pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (spawned != 0) throw std::runtime_error("cannot start " + executable);
  host.input = in[1];
  host.output = out[0];
  return host;
}

void closeInput(Host& host) {
  if (host.input >= 0) ::close(host.input);
  host.input = -1;
}

void finish(Host& host) {
  closeInput(host);
  ::close(host.output);
  int status = 0;
  while (::waitpid(host.pid, &status, 0) < 0 && errno == EINTR) {
  }
}

void writeAll(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("write to the host failed");
    done += static_cast<std::size_t>(n);
  }
}

void readAll(int fd, char* buffer, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::read(fd, buffer + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the host ended before answering");
    done += static_cast<std::size_t>(n);
  }
}

std::string frame(const std::string& json) {
  const auto length = static_cast<std::uint32_t>(json.size());
  std::string bytes(sizeof length, '\0');
  std::memcpy(bytes.data(), &length, sizeof length);
  return bytes + json;
}

std::string answer(const Host& host) {
  std::uint32_t length = 0;
  readAll(host.output, reinterpret_cast<char*>(&length), sizeof length);
  std::string body(length, '\0');
  readAll(host.output, body.data(), body.size());
  return body;
}

void report(const std::string& name, const char* way, std::vector<double> micros,
            const std::string& sample) {
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) {
    return micros[std::min(micros.size() - 1, static_cast<std::size_t>(q * micros.size()))];
  };
  std::printf("%-10s %-8s n=%zu median_us=%.0f p99_us=%.0f max_us=%.0f answer=%s\n", name.c_str(),
              way, micros.size(), at(0.5), at(0.99), micros.back(), sample.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s HOST COUNT NAME=JSON...\n", argv[0]);
    return 2;
  }
  const std::string executable = argv[1];
  const long count = std::strtol(argv[2], nullptr, 10);
  try {
    for (int i = 3; i < argc; ++i) {
      const std::string scenario = argv[i];
      const std::string name = scenario.substr(0, scenario.find('='));
      const std::string message = frame(scenario.substr(scenario.find('=') + 1));
      std::string sample;

      std::vector<double> session;
      Host host = start(executable);
      for (long n = 0; n < count; ++n) {
        const auto t0 = Clock::now();
        writeAll(host.input, message);
        sample = answer(host);
        session.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
      finish(host);
      report(name, "session", session, sample);

      std::vector<double> perProcess;
      for (long n = 0; n < count; ++n) {
        const auto t0 = Clock::now();
        Host one = start(executable);
        writeAll(one.input, message);
        closeInput(one);
        sample = answer(one);
        perProcess.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        finish(one);
      }
      report(name, "process", perProcess, sample);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
