#include "updater/UpdateProduct.h"

#include <cmath>

#include "platform/Env.h"
#include "platform/Json.h"
#include "shared/UpdateFailure.h"

namespace bramlow {
namespace {

std::string infoString(const platform::Bundle& bundle, const char* key) {
  const platform::plist::Value* value = bundle.objectForInfoDictionaryKey(key);
  const std::string* text = value ? value->string() : nullptr;
  if (!text || text->empty()) fail(markers::kConfigurationIncomplete);
  return *text;
}

}  // namespace

UpdateProduct UpdateProduct::init(const platform::Bundle& bundle) {
  UpdateProduct product;
  // Every key is read before the address is examined, so an incomplete configuration is reported
  // as such even when its address is bad too.
  product.appID = infoString(bundle, "UpdateAppIdentifier");
  product.extensionID = infoString(bundle, "UpdateExtensionIdentifier");
  product.extensionName = infoString(bundle, "UpdateExtensionName");
  product.appName = infoString(bundle, "UpdateAppName");
  product.artifactPrefix = infoString(bundle, "UpdateArtifactPrefix");
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
