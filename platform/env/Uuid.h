// Random (version 4) UUIDs in canonical upper-case text form: 36 characters with hyphens.
#pragma once

#include <string>

namespace platform {

std::string newUuidString();  // throws std::runtime_error when no randomness is available

}  // namespace platform
