// bramlow-native-message: talks to a native-messaging host the way a browser does, for the demo,
// the end-to-end tests and the benchmarks.
//
//   bramlow-native-message [--repeat N] [--quiet] [--host-per-message | --burst] HOST MESSAGE...
//
// Starts HOST (its first argument the caller's origin), sends each MESSAGE (JSON text) as a frame
// of a 4-byte native-endian length and the text, waits for its answer and prints both. With
// --repeat N every message is sent N times, one at a time, taking turns with the others in runs of
// 25, and the median and 99th percentile of its round trip are printed. A browser keeps one host
// for a connected port, and starts one host per message for a single message: --host-per-message
// does the latter, closing the host's input after the message. --burst writes every message (each
// N times) to one host at once, as fast as the host takes them, while reading the answers; it
// prints each distinct answer once with its count ("answers: COUNT TEXT") and the most threads the
// host had, sampled from /proc/<pid>/status while it ran ("host threads at most: N"). Exits 0 when
// every message was answered, 1 otherwise.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/browser/NativeMessagingHost.h"
#include "platform/env/Errors.h"
#include "platform/env/Fd.h"

extern char** environ;

namespace {
using platform::UniqueFd;

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = platform::retryOnEintr([&] { return ::write(fd, data, size); });
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool sendFrame(int fd, const std::string& text) {
  const auto length = static_cast<std::uint32_t>(text.size());
  char header[4];
  std::memcpy(header, &length, sizeof header);
  return writeAll(fd, header, sizeof header) && writeAll(fd, text.data(), text.size());
}

// The host's answers, framed as the host frames them.
std::optional<std::string> receiveFrame(int fd) {
  platform::NativeMessageReader reader([fd](void* buffer, std::size_t size) -> std::size_t {
    const ssize_t n = platform::retryOnEintr([&] { return ::read(fd, buffer, size); });
    return n < 0 ? 0 : static_cast<std::size_t>(n);
  });
  platform::NativeMessageReader::Frame frame = reader.next();
  if (frame.kind != platform::NativeMessageReader::Kind::kMessage) return std::nullopt;
  return std::move(frame.bytes);
}

struct Host {
  pid_t pid = -1;
  UniqueFd input;   // the host's stdin
  UniqueFd output;  // the host's stdout
};

void finish(Host& host) {
  host.input.reset();  // end of input ends the host
  int status = 0;
  platform::retryOnEintr([&] { return ::waitpid(host.pid, &status, 0); });
}

Host startHost(const char* path) {
  int toHost[2];
  int fromHost[2];
  if (::pipe2(toHost, O_CLOEXEC) != 0 || ::pipe2(fromHost, O_CLOEXEC) != 0) {
    std::perror("pipe2");
    std::exit(1);
  }
  Host host;
  host.input.reset(toHost[1]);
  host.output.reset(fromHost[0]);
  UniqueFd childIn(toHost[0]);
  UniqueFd childOut(fromHost[1]);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, childIn.get(), STDIN_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, childOut.get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::string program(path);
  std::string origin = "chrome-extension://bramlow-native-message/";
  char* argv[] = {program.data(), origin.data(), nullptr};
  const int error = ::posix_spawn(&host.pid, path, &actions, nullptr, argv, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    std::fprintf(stderr, "%s\n", platform::errnoMessage(error, "cannot start", path).c_str());
    std::exit(1);
  }
  return host;
}

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  return values[index];
}

long threadsOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Threads:")) return std::strtol(line.c_str() + 8, nullptr, 10);
  }
  return 0;
}

int burst(const char* path, const std::vector<std::string>& messages, long times) {
  Host host = startHost(path);
  std::thread writer([&host, &messages, times] {
    for (long n = 0; n < times; ++n) {
      for (const std::string& message : messages) {
        if (!sendFrame(host.input.get(), message)) return;
      }
    }
    host.input.reset();  // the host ends once every answer is out
  });
  std::atomic<bool> ended{false};
  std::atomic<long> most{0};
  std::thread sampler([&] {
    while (!ended) {
      most = std::max(most.load(), threadsOf(host.pid));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::map<std::string, long> counts;
  long answered = 0;
  while (const std::optional<std::string> answer = receiveFrame(host.output.get())) {
    ++counts[*answer];
    ++answered;
  }
  ended = true;
  sampler.join();
  writer.join();
  finish(host);
  for (const auto& [text, count] : counts) std::printf("answers: %ld %s\n", count, text.c_str());
  std::printf("host threads at most: %ld\n", most.load());
  return answered == times * std::ssize(messages) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  long repeat = 0;
  bool quiet = false;
  bool hostPerMessage = false;
  bool inBurst = false;
  int first = 1;
  for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
    if (std::strcmp(argv[first], "--repeat") == 0 && first + 1 < argc) {
      repeat = std::strtol(argv[++first], nullptr, 10);
    } else if (std::strcmp(argv[first], "--quiet") == 0) {
      quiet = true;
    } else if (std::strcmp(argv[first], "--host-per-message") == 0) {
      hostPerMessage = true;
    } else if (std::strcmp(argv[first], "--burst") == 0) {
      inBurst = true;
    } else {
      break;
    }
  }
  if (argc - first < 2 || repeat < 0 || (hostPerMessage && inBurst)) {
    std::fprintf(stderr,
                 "usage: bramlow-native-message [--repeat N] [--quiet] [--host-per-message | "
                 "--burst] HOST MESSAGE...\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  if (inBurst) {
    return burst(argv[first], std::vector<std::string>(argv + first + 1, argv + argc),
                 std::max(repeat, 1L));
  }
  Host session;
  if (!hostPerMessage) session = startHost(argv[first]);
  // Repeated messages take turns in runs of kTurn (the first, the second, ..., the first again), so
  // a machine that gets busier or quieter during the run weighs on each of them alike, while what
  // one message leaves running (an updater winding its connection down) rarely overlaps the next.
  constexpr long kTurn = 25;
  const std::vector<std::string> messages(argv + first + 1, argv + argc);
  const std::size_t count = messages.size();
  std::vector<std::vector<double>> micros(count);
  std::vector<std::string> answers(count);
  const long total = std::max(repeat, 1L);
  bool answeredAll = true;
  for (long done = 0; done < total && answeredAll; done += kTurn) {
    for (std::size_t i = 0; i < count && answeredAll; ++i) {
      for (long n = done; n < std::min(done + kTurn, total); ++n) {
        const std::string& message = messages[i];
        const auto start = std::chrono::steady_clock::now();
        Host single;
        if (hostPerMessage) single = startHost(argv[first]);
        Host& host = hostPerMessage ? single : session;
        std::optional<std::string> received;
        if (sendFrame(host.input.get(), message)) {
          if (hostPerMessage) host.input.reset();
          received = receiveFrame(host.output.get());
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (hostPerMessage) finish(single);
        if (!received) {
          answeredAll = false;
          break;
        }
        answers[i] = *received;
        micros[i].push_back(std::chrono::duration<double, std::micro>(elapsed).count());
        if (repeat == 0 && !quiet) {
          std::printf("message: %s\nanswer:  %s\n", message.c_str(), received->c_str());
          std::fflush(stdout);
        }
      }
    }
  }
  for (std::size_t i = 0; i < count && repeat > 0 && answeredAll; ++i) {
    const char* message = messages[i].c_str();
    if (!quiet) std::printf("message: %s\nanswer:  %s\n", message, answers[i].c_str());
    std::printf("round trip of %s over %ld runs%s: median %.1f us, p99 %.1f us\n", message, repeat,
                hostPerMessage ? " (a host per message)" : "", percentile(micros[i], 0.5),
                percentile(micros[i], 0.99));
  }
  std::fflush(stdout);
  if (!answeredAll) std::fprintf(stderr, "the host did not answer\n");
  if (!hostPerMessage) finish(session);
  return answeredAll ? 0 : 1;
}
