// A stand-in browser for the settings tests: writes the descriptors it was started with, one
// "<fd> <target>" line each (a pipe named "pipe"), to the file named by its first argument, and
// exits 0.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string lines;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return 2;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || std::atoi(name.c_str()) == dirfd(dir)) continue;
    char target[4096];
    const ssize_t n = readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1);
    std::string link = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?";
    lines += name + " " + (link.starts_with("pipe:") ? "pipe" : link) + "\n";
  }
  closedir(dir);
  FILE* out = std::fopen(argv[1], "we");
  if (!out) return 2;
  std::fputs(lines.c_str(), out);
  return std::fclose(out) == 0 ? 0 : 2;
}
