// What a hostile update server (or whoever sits in its place) may try, one row per attack, against
// a real release, real signed images, mounts and tools: the installed application stays byte for
// byte what it was, nothing is left behind, and the user reads the one right message.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>

#include "platform/crypto/Sha256.h"
#include "platform/diskimage/DiskImage.h"
#include "platform/formats/Json.h"
#include "shared/UpdateFailure.h"
#include "tests/updater/ReleaseTest.h"
#include "updater/BramlowUpdateMain.h"
#include "updater/BundleFacts.h"
#include "updater/UpdateTransfer.h"

namespace bramlow {
namespace {
using namespace std::chrono_literals;
using Reply = TestHttpsServer::Reply;
using Spoil = std::function<void()>;
using release::kDeveloperIdIdentity;

constexpr std::uint64_t kEndless = std::uint64_t{1} << 40;  // more than any test will read
constexpr auto kCopy = fs::copy_options::recursive | fs::copy_options::copy_symlinks;

TestApp bundlesOf(const fs::path& app) {
  const fs::path extension = app / "Contents/PlugIns" / kExtensionName;
  return {app, extension, extension / "Contents/XPCServices/BramlowUpdater.xpc"};
}

void unsign(const fs::path& bundle) { fs::remove_all(bundle / "Contents/_CodeSignature"); }

class HostileServerTest : public ServedReleaseTest {
 protected:
  void SetUp() override {
    ServedReleaseTest::SetUp();
    if (IsSkipped()) return;
    package("11", release11_, kDeveloperIdIdentity);
    image_ = readFile(release_ / kImageName);
  }

  // An image of release 10's application after change (which may spoil or re-sign it), signed
  // as release 10's image by identity (nullptr: unsigned).
  std::string imageWith(const std::function<void(const TestApp&)>& change,
                        const char* identity = kDeveloperIdIdentity) {
    const fs::path staging = dir_.path() / "variants" / std::to_string(++variants_);
    fs::create_directories(staging);
    fs::copy(release_ / kAppName, staging / kAppName, kCopy);
    change(bundlesOf(staging / kAppName));
    const fs::path image = staging.string() + ".dmg";
    platform::diskimage::createImage(staging, image);
    if (identity) signWith(image, identity, fs::path(kImageName).stem().string());
    return readFile(image);
  }

  // Release 10's manifest, which is not signed, after change.
  std::string manifest(const std::function<void(platform::Json&)>& change) const {
    platform::Json json = platform::parseJson(latest_);
    change(json);
    return json.dump();
  }
  // A manifest (by default release 10's) that states image as its artifact.
  std::string stating(const std::string& image, const std::string& of = {}) const {
    platform::Json json = platform::parseJson(of.empty() ? latest_ : of);
    json["artifact"]["sha256"] = hexString(platform::Sha256::digest(image));
    json["artifact"]["size"] = image.size();
    return json.dump();
  }
  Spoil offering(const std::string& latest, const Reply& image) {
    return [=, this] { offer(latest, image); };
  }
  // Release 10's manifest with image's reply.
  Spoil offering(const Reply& image) { return offering(latest_, image); }
  // Offers an image with a manifest that states it: only the image's own checks stand.
  Spoil serving(const std::string& image) { return offering(stating(image), body(image)); }
  Spoil manifestReply(const Reply& reply) {
    return [=, this] { server_.setReply("/updates/latest.json", reply); };
  }

  // Runs "check" (forced), then "download" and "install" of the build it reports, up to the
  // action that must fail, and gives that action's outcome as the user reads it ("" when it
  // succeeds). kept gathers what the successful steps before it legitimately keep.
  std::string runUntil(const std::string& failing, std::set<std::string>& kept) const {
    std::string build;
    for (std::string action : {"check", "download", "install"}) {
      std::string outcome;
      try {
        const ResultDictionary result = service_->performOperation(action, build, true);
        if (action == "check") build = std::get<std::string>(result.at("version"));
      } catch (...) {
        outcome = failureMessage(std::current_exception());
      }
      if (action == failing) return outcome;
      if (!outcome.empty()) return action.append(" failed first: ").append(outcome);
      kept.insert(action == "check" ? std::string("release.json")
                                    : std::string(kArtifactPrefix) + "-" + build + ".dmg");
    }
    return "nothing failed";
  }

  TestHttpsServer elsewhere_;  // another host, which a redirect may name
  fs::path release11_ = dir_.path() / "release-11";
  std::string image_;
  int variants_ = 0;
};

TEST_F(HostileServerTest, NothingIsInstalledOrLeftBehindAndTheMessageIsRight) {
  using namespace markers;
  std::string tampered = image_;
  tampered[image_.size() / 3] ^= 0x20;  // inside the squashfs data, before the signature
  const std::string eleven = readFile(release11_ / (std::string(kArtifactPrefix) + "-11.dmg"));
  const Reply endless{.body = "", .generatedSize = kEndless, .chunked = true};
  const Reply announcedSmall{.body = "", .generatedSize = kEndless, .announcedLength = 1000};
  const Reply stall{.body = image_, .pieceSize = 100, .stall = 20s, .stallAfterBytes = 1000};
  const Reply trickle{.body = image_, .pieceSize = 100, .pauseBetweenPieces = 50ms};
  const Reply cut{.body = image_.substr(0, image_.size() / 2), .announcedLength = image_.size()};
  elsewhere_.setReply("/elsewhere/latest.json", 200, latest_);
  const auto redirect = [](const std::string& to) { return Reply{302, {{"Location", to}}, ""}; };
  const Reply toElsewhere =
      redirect("https://localhost:" + std::to_string(elsewhere_.port()) + "/elsewhere/latest.json");
  const Reply toPlain =
      redirect("http://127.0.0.1:" + std::to_string(server_.port()) + "/plain/" + kImageName);
  const std::string older = manifest([](platform::Json& json) {
    json["build"] = "8";
    json["artifact"]["name"] = std::string(kArtifactPrefix) + "-8.dmg";
  });
  const std::string pathName =
      manifest([](platform::Json& json) { json["artifact"]["name"] = "../" + kImageName; });
  const std::string unsignedImage = imageWith([](const TestApp&) {}, nullptr);

  struct Row {
    const char* name;
    Spoil spoil;                     // what the server offers instead of release 10
    std::string_view expected;       // the message the user reads
    std::string fails = "download";  // the action that must fail
    std::chrono::milliseconds request = 3s;
    std::chrono::milliseconds resource = 20s;
  };
  // Which identities satisfy the team's requirement is the signing tests' table; here the update
  // refuses what fails it, on the image and on the application inside.
  const Row rows[] = {
      // Endless data.
      {"endless manifest, no length", manifestReply(endless), kExceedsExpectedSize, "check"},
      {"image without a length, never ending", offering(endless), kExceedsExpectedSize},
      {"image announced small, sends on and on", offering(announcedSmall), kIntegrityCheckFailed},
      {"manifest over 64 KiB", offering(latest_ + std::string(65537, ' '), body(image_)),
       kExceedsExpectedSize, "check"},
      // Answers other than the whole file.
      {"manifest not found", manifestReply({.status = 404, .body = ""}), kNotRequestedRelease,
       "check"},
      {"manifest as partial content", manifestReply({.status = 206, .body = latest_}),
       kNotRequestedRelease, "check"},
      // Slow retrieval.
      {"image stalls part-way", offering(stall), kCouldNotDownload, "download", 300ms},
      {"image trickles in", offering(trickle), kCouldNotDownload, "download", 3s, 1s},
      {"connection closed in the middle of the image", offering(cut), kCouldNotDownload},
      // Redirects are never followed, to wherever they lead.
      {"manifest redirected away", manifestReply(toElsewhere), kNotRequestedRelease, "check"},
      {"image redirected to plain HTTP", offering(toPlain), kNotRequestedRelease},
      // Rollback and mix-and-match.
      {"an older build offered", offering(older, body(image_)), kNotNewer},
      {"release 10's manifest with release 11's image", serving(eleven), kPackageMismatch},
      {"release 11's manifest with release 10's image",
       [&] {
         server_.setReply("/updates/latest.json", 200,
                          stating(image_, readFile(release11_ / "latest.json")));
         server_.setReply("/updates/" + std::string(kArtifactPrefix) + "-11.dmg", body(image_));
       },
       kPackageMismatch},
      // Images and applications signed by anyone but the team's Developer ID, or not at all.
      {"image signed by another team",
       serving(imageWith([](const TestApp&) {}, release::kOtherTeamIdentity)), kInvalidSignature},
      {"image unsigned", serving(unsignedImage), kInvalidSignature},
      {"application signed by another team",
       serving(imageWith([](const TestApp& app) { signApp(app, release::kOtherTeamIdentity); })),
       kInvalidSignature},
      {"one nested bundle's signature removed",
       serving(imageWith([](const TestApp& app) { unsign(app.updaterURL); })), kInvalidSignature},
      {"the helper of another release", serving(imageWith([&](const TestApp& app) {
         fs::remove_all(app.updaterURL);
         fs::copy(bundlesOf(release11_ / kAppName).updaterURL, app.updaterURL, kCopy);
         signWith(app.extensionURL, kDeveloperIdIdentity);
         signWith(app.appURL, kDeveloperIdIdentity);
       })),
       kHelperMismatch},
      {"an unsigned image put in the cache in place of the held one",
       [&] {
         serving(unsignedImage)();
         writeFile(service_->cache / kImageName, unsignedImage);
       },
       kInvalidSignature, "install"},
      // Damaged images.
      {"a byte of the squashfs data changed", offering(body(tampered)), kIntegrityCheckFailed},
      {"a byte changed, the manifest restating the digest", serving(tampered), kInvalidSignature},
      {"manifest naming an artifact with path characters", offering(pathName, body(image_)),
       kInformationInvalid, "check"},
  };
  const auto installed = snapshot(app_.appURL);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const std::string& name : namesIn(service_->cache))
      if (name != "update.lock") fs::remove_all(service_->cache / name);
    const LeakCheck leaks = leakCheck();
    row.spoil();
    const UpdateTransfer::ScopedTimeoutsForTesting timeouts(row.request, row.resource);
    std::set<std::string> kept{"update.lock"};
    EXPECT_EQ(runUntil(row.fails, kept), row.expected);
    EXPECT_TRUE(snapshot(app_.appURL) == installed);
    leaks.expectNothingAdded(kept);
  }
  EXPECT_TRUE(elsewhere_.requests().empty());
  EXPECT_EQ(server_.requestCount("/plain/" + kImageName), 0U);
}

}  // namespace
}  // namespace bramlow
