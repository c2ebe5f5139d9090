// Release information: decoding and every format rule, table-driven.
#include <gtest/gtest.h>

#include <functional>

#include "platform/formats/Json.h"
#include "shared/UpdateFailure.h"
#include "tests/updater/UpdaterTestSupport.h"
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
  // "" when the valid manifest, changed, passes validation; "decoding" when it does not decode;
  // else the UpdateFailure's message.
  std::string validation(const std::function<void(Json&)>& change) {
    Json manifest = validManifest();
    change(manifest);
    return outcomeOf([&] { UpdateRelease::decode(manifest.dump()).validate(product_); });
  }

  const UpdateProduct product_ =
      UpdateProduct::init(platform::Bundle(makeTestApp(dir_.path()).updaterURL));
};

TEST_F(UpdateReleaseTest, DecodingAndFormatChecks) {
  env_.setSystemVersion(13, 10, 0);
  const std::string invalid(markers::kInformationInvalid);
  const std::string newerSystem = std::string(markers::kMinimumSystemRequired) + " ";
  const struct {
    const char* name;
    std::function<void(Json&)> change;
    std::string expected;
  } cases[] = {
      // Decoding failures are no UpdateFailure.
      {"missing payloadSha256", [](Json& j) { j.erase("payloadSha256"); }, "decoding"},
      {"build as number", set("/build", 120), "decoding"},
      {"size beyond 64 bits", set("/artifact/size", 18446744073709551615ull), "decoding"},
      {"an unknown member", set("/notes", "ignored"), ""},
      {"schema 2", set("/schema", 2), invalid},
      {"product case", set("/product", "com.bramlow.Safari-extension"), invalid},
      {"build fifteen nines", build("999999999999999"), ""},
      {"build zero", build("0"), invalid},
      {"build leading zero", build("0120"), invalid},
      {"build sixteen digits", build("1000000000000000"), invalid},
      {"build trailing newline", build("5\n"), invalid},
      {"version one part", set("/version", "2"), ""},
      {"version four parts", set("/version", "1.2.3.4"), invalid},
      {"version six digits", set("/version", "123456.1"), invalid},
      {"version largest", set("/version", "99999.99999.99999"), ""},
      {"minimum system bad", set("/minimumSystemVersion", "11.x"), invalid},
      {"minimum system equal", set("/minimumSystemVersion", "13.10"), ""},
      {"minimum system zero-padded", set("/minimumSystemVersion", "013.010"), ""},
      {"minimum system older", set("/minimumSystemVersion", "12.99999"), ""},
      {"system a patch newer", set("/minimumSystemVersion", "13.10.1"), newerSystem + "13.10.1"},
      {"system a minor newer", set("/minimumSystemVersion", "13.11"), newerSystem + "13.11"},
      {"payload version empty", set("/payloadVersion", ""), invalid},
      {"payload digest upper case", set("/payloadSha256", std::string(64, 'A')), invalid},
      {"artifact name case", set("/artifact/name", "bramlowForSafari-120.dmg"), invalid},
      {"artifact name other build", set("/artifact/name", "BramlowForSafari-121.dmg"), invalid},
      {"size zero", set("/artifact/size", 0), invalid},
      {"size 1 GiB", set("/artifact/size", 1073741824), ""},
      {"size above 1 GiB", set("/artifact/size", 1073741825), invalid},
  };
  for (const auto& c : cases) EXPECT_EQ(validation(c.change), c.expected) << c.name;
}

}  // namespace
