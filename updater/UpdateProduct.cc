#include "updater/UpdateProduct.h"

#include <cmath>
#include <string_view>

#include "platform/env/Env.h"
#include "platform/formats/Json.h"
#include "shared/UpdateFailure.h"

namespace bramlow {
namespace {

std::string infoString(const platform::Bundle& bundle, const char* key) {
  const platform::plist::Value* value = bundle.objectForInfoDictionaryKey(key);
  const std::string* text = value ? value->string() : nullptr;
  if (!text || text->empty()) fail(markers::kConfigurationIncomplete);
  return *text;
}

// A value that the updater uses as a file name, or as the start of one, must not reach beyond
// its folder: no "/", and no NUL, which would end the name early. A whole name is also not "."
// or "..", which name a folder rather than an entry of it.
std::string nameString(const platform::Bundle& bundle, const char* key, bool wholeName) {
  std::string text = infoString(bundle, key);
  if (text.find_first_of(std::string_view("/\0", 2)) != std::string::npos ||
      (wholeName && (text == "." || text == ".."))) {
    fail(markers::kConfigurationIncomplete);
  }
  return text;
}

}  // namespace

UpdateProduct UpdateProduct::init(const platform::Bundle& bundle) {
  UpdateProduct product;
  // Every key is read before the address is examined, so an incomplete configuration is reported
  // as such even when its address is bad too.
  // The identifier names a cache folder, the two names bundle folders, and the prefix starts the
  // names of disk images in the cache.
  product.appID = nameString(bundle, "UpdateAppIdentifier", true);
  product.extensionID = infoString(bundle, "UpdateExtensionIdentifier");
  product.extensionName = nameString(bundle, "UpdateExtensionName", true);
  product.appName = nameString(bundle, "UpdateAppName", true);
  product.artifactPrefix = nameString(bundle, "UpdateArtifactPrefix", false);
  product.team = infoString(bundle, "UpdateSigningTeam");
  const std::string baseText = infoString(bundle, "UpdateBaseURL");

  const std::optional<platform::Url> url = platform::Url::parse(baseText);
  if (!url || url->scheme() != "https" || !url->host() || url->hasUser() || url->hasPassword() ||
      url->hasQuery() || url->hasFragment()) {
    fail(markers::kAddressInvalid);
  }
  product.baseURL = *url;

  const auto policyPath = bundle.pathForResource("policy", "json");
  if (!policyPath) fail(markers::kScheduleNotConfigured);
  const std::string bytes = platform::env().readFile(*policyPath);
  const platform::Json policy = platform::parseJson(bytes);
  if (!policy.is_object()) fail(markers::kScheduleNotConfigured);
  const auto member = policy.find("checkIntervalMilliseconds");
  // A JSON boolean is not a number here.
  if (member == policy.end() || !member->is_number()) fail(markers::kScheduleNotConfigured);
  const double milliseconds = member->get<double>();
  if (!std::isfinite(milliseconds) || !(milliseconds > 0)) fail(markers::kScheduleNotConfigured);
  product.checkInterval = milliseconds / 1000;
  return product;
}

}  // namespace bramlow
