// What the updater knows about the product it updates, read once from its own bundle: seven
// Info.plist strings and the check interval from the "policy.json" resource.
#pragma once

#include <string>

#include "platform/bundle/Bundle.h"
#include "platform/url/Url.h"

namespace bramlow {

struct UpdateProduct {
  std::string appID;
  std::string extensionID;
  std::string extensionName;
  std::string appName;
  std::string artifactPrefix;
  std::string team;
  platform::Url baseURL;
  double checkInterval = 0;  // seconds

  // Reads and checks the configuration. Raises UpdateFailure for a missing or unsafe value; a
  // failure to read the policy file (std::system_error) or to parse it (platform::JsonError)
  // passes through.
  static UpdateProduct init(const platform::Bundle& bundle);
};

}  // namespace bramlow
