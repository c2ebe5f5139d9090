// A stand-in browser for the settings tests: writes the descriptors it was started with, one
// "<fd> <target>" line each (a pipe named "pipe"), to the file named by its first argument, and
// exits 0.
#include <filesystem>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string lines;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code gone;
    const std::string target = std::filesystem::read_symlink(entry.path(), gone).string();
    if (target.starts_with("/proc/")) continue;  // the listing's own descriptor
    lines += entry.path().filename().string() + " " +
             (target.starts_with("pipe:") ? "pipe" : target) + "\n";
  }
  std::ofstream(argv[1]) << lines;
  return 0;
}
