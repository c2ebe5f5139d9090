// Release information: decoding and every format rule, table-driven.
#include <gtest/gtest.h>

#include <functional>

#include "platform/Json.h"
#include "shared/UpdateFailure.h"
#include "tests/support/FailureText.h"
#include "tests/support/TestSupport.h"
#include "updater/UpdateRelease.h"

namespace {
using namespace testing_support;
using bramlow::UpdateProduct;
using bramlow::UpdateRelease;
using platform::Json;
namespace markers = bramlow::markers;

// Distinct digests: the check results and the whole update catch a decoder that swaps members.
// Test constants: a failed allocation before main ends the test binary, as it should.
const std::string kDigest(64, 'a');         // NOLINT(cert-err58-cpp)
const std::string kPayloadDigest(64, 'b');  // NOLINT(cert-err58-cpp)

Json validManifest() {
  return Json{
      {"schema", 1},
      {"product", kAppID},
      {"version", "1.2.3"},
      {"build", "120"},
      {"payloadVersion", "1.2.3-web"},
      {"payloadSha256", kPayloadDigest},
      {"minimumSystemVersion", "11.0"},
      {"artifact", {{"name", "BramlowForSafari-120.dmg"}, {"sha256", kDigest}, {"size", 1024}}}};
}

// A change to the valid manifest: the member at a JSON pointer set to a value.
std::function<void(Json&)> set(const char* pointer, const Json& value) {
  return [pointer, value](Json& j) { j[Json::json_pointer(pointer)] = value; };
}

// A change of the build, with the artifact name that goes with it.
std::function<void(Json&)> build(const std::string& value) {
  return [value](Json& j) {
    j["build"] = value;
    j["artifact"]["name"] = "BramlowForSafari-" + value + ".dmg";
  };
}

class UpdateReleaseTest : public TestEnvTest {
 protected:
  // "" when the valid manifest, changed, passes validation, else the UpdateFailure's message.
  std::string validation(const std::function<void(Json&)>& change) {
    Json manifest = validManifest();
    change(manifest);
    const UpdateRelease release = UpdateRelease::decode(manifest.dump());
    return failureText([&] { release.validate(product_); });
  }

  const UpdateProduct product_ =
      UpdateProduct::init(platform::Bundle(makeTestApp(dir_.path()).updaterURL));
};

TEST_F(UpdateReleaseTest, DecodingFailuresAreNotUpdateFailures) {
  const struct {
    const char* name;
    std::function<void(Json&)> change;
  } cases[] = {
      {"missing payloadSha256", [](Json& j) { j.erase("payloadSha256"); }},
      {"build as number", set("/build", 120)},
      {"size beyond 64 bits", set("/artifact/size", 18446744073709551615ull)},
  };
  for (const auto& c : cases) {
    Json manifest = validManifest();
    c.change(manifest);
    EXPECT_THROW(UpdateRelease::decode(manifest.dump()), platform::DecodingError) << c.name;
  }
  EXPECT_THROW(UpdateRelease::decode("{not json"), platform::JsonError);
}

TEST_F(UpdateReleaseTest, FormatChecks) {
  const std::string upper(64, 'A');
  const struct {
    const char* name;
    std::function<void(Json&)> change;
    bool valid;
  } cases[] = {
      {"an unknown member", set("/notes", "ignored"), true},
      {"schema 2", set("/schema", 2), false},
      {"product case", set("/product", "com.bramlow.Safari-extension"), false},
      {"build fifteen nines", build("999999999999999"), true},
      {"build zero", build("0"), false},
      {"build leading zero", build("0120"), false},
      {"build sixteen digits", build("1000000000000000"), false},
      {"build trailing newline", build("5\n"), false},
      {"version one part", set("/version", "2"), true},
      {"version four parts", set("/version", "1.2.3.4"), false},
      {"version six digits", set("/version", "123456.1"), false},
      {"version largest", set("/version", "99999.99999.99999"), true},
      {"minimum system bad", set("/minimumSystemVersion", "11.x"), false},
      {"payload version empty", set("/payloadVersion", ""), false},
      {"payload digest upper case", set("/payloadSha256", upper), false},
      {"artifact name case", set("/artifact/name", "bramlowForSafari-120.dmg"), false},
      {"artifact name other build", set("/artifact/name", "BramlowForSafari-121.dmg"), false},
      {"size zero", set("/artifact/size", 0), false},
      {"size 1 GiB", set("/artifact/size", 1073741824), true},
      {"size above 1 GiB", set("/artifact/size", 1073741825), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(validation(c.change), c.valid ? "" : std::string(markers::kInformationInvalid))
        << c.name;
  }
}

TEST_F(UpdateReleaseTest, MinimumSystem) {
  env_.setSystemVersion(13, 10, 0);
  const struct {
    const char* minimum;
    bool passes;
  } cases[] = {
      {"13.10", true}, {"013.010", true}, {"13.10.1", false}, {"13.11", false}, {"12.99999", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(validation(set("/minimumSystemVersion", c.minimum)),
              c.passes ? "" : std::string(markers::kMinimumSystemRequired) + " " + c.minimum)
        << c.minimum;
  }
}

}  // namespace
