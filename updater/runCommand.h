// The system's own tools (assessment, disk images, bundle copies) as child processes: one call
// runs a tool to its end and turns any failure of the tool into the user message.
#pragma once

#include <string>
#include <vector>

namespace bramlow {

// Runs the tool at path (an absolute path of the operating system) with arguments, without a
// shell. Returns when it exits with status 0. Any other end, a signal included, logs the tool's
// standard error and raises the "could not verify or prepare" marker; a launch failure throws the
// platform's std::system_error unchanged and logs nothing.
void runCommand(const std::string& path, const std::vector<std::string>& arguments);

}  // namespace bramlow
