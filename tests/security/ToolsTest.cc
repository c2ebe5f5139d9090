// The built codesign, spctl and bramlow-release tools, driven from their command lines over the
// bundle this project builds.
#include <gtest/gtest.h>

#include <cctype>

#include "tests/security/SigningTestSupport.h"

namespace {
namespace fs = std::filesystem;
namespace release = bramlow::release;
using namespace testing_support;
using Args = std::vector<std::string>;

class ToolsTest : public ::testing::Test {
 protected:
  ToolsTest() : root_(dir_.path() / "root") { installAnchors(root_); }

  RunResult run(const char* tool, Args arguments) {
    arguments.insert(arguments.begin(), tool);
    return runProgram(arguments, {"BRAMLOW_PLATFORM_ROOT=" + root_.string()});
  }
  RunResult assess(Args form, const fs::path& path) {
    form.push_back(path.string());
    return run(BRAMLOW_SPCTL, std::move(form));
  }
  void sign(const fs::path& code, const char* identity, Args more = {}) {
    more.insert(more.begin(), {"--sign", identityFile(identity).string()});
    more.push_back(code.string());
    const RunResult result = run(BRAMLOW_CODESIGN, more);
    EXPECT_EQ(result.exitCode, 0) << code << result.err;
  }

  // A copy of the built application, signed inside out with the codesign tool.
  fs::path builtApp(const std::string& folder,
                    const char* identity = release::kDeveloperIdIdentity) {
    const fs::path app = dir_.path() / folder / "Bramlow for Safari.app";
    fs::create_directories(app.parent_path());
    fs::copy(BRAMLOW_APP_DIR, app, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    const fs::path extension = app / "Contents/PlugIns/Bramlow for Safari Extension.appex";
    for (const fs::path& code :
         {extension / "Contents/XPCServices/BramlowUpdater.xpc", extension, app})
      sign(code, identity);
    return app;
  }

  const Args execute_ = {"--assess", "--type", "execute"};
  const Args open_ = {"--assess", "--type", "open", "--context", "context:primary-signature"};
  TempDir dir_;
  fs::path root_;
  fs::path revoked_ = root_ / "System/Library/Security/revoked.txt";
};

TEST_F(ToolsTest, SpctlAssessesApplicationsAndImages) {
  const fs::path good = builtApp("good");
  const fs::path otherTeam = builtApp("other-team", release::kOtherTeamIdentity);
  const fs::path development = builtApp("development", release::kDevelopmentIdentity);
  const fs::path image = dir_.path() / "release.dmg";
  writeFile(image, std::string(100000, 'x'));
  sign(image, release::kDeveloperIdIdentity, {"--identifier", "release"});

  const struct {
    const char* name;
    const Args& form;
    fs::path path;
    bool accepted;
  } rows[] = {
      {"signed application", execute_, good, true},
      {"any Developer ID team", execute_, otherTeam, true},
      {"development certificate", execute_, development, false},
      {"signed image", open_, image, true},
      {"image as an application", execute_, image, false},
      {"application as an image", open_, good, false},
  };
  for (const auto& row : rows) {
    const RunResult result = assess(row.form, row.path);
    EXPECT_EQ(result.exitCode, row.accepted ? 0 : 3) << row.name << result.err;
  }

  // A line names a leaf however its fingerprint is written, "#" comments aside. A line that says
  // more, or a list that cannot be read, refuses everything rather than accept a leaf it may name.
  // The publishing tool's line names what the issuer signed, which a re-encoded leaf (another
  // fingerprint, as valid, signable by the revoked key's holder) shares.
  const std::string fingerprint = leafFingerprint(release::kDeveloperIdIdentity);
  const RunResult line =
      run(BRAMLOW_RELEASE, {"revoke", identityFile(release::kDeveloperIdIdentity).string()});
  ASSERT_EQ(line.exitCode, 0) << line.err;
  EXPECT_NE(line.out, fingerprint + "\n");
  std::string upper;  // with colons
  for (std::size_t i = 0; i < fingerprint.size(); ++i)
    upper += std::string(i % 2 || !i ? "" : ":") + char(std::toupper(fingerprint[i]));
  const struct {
    const char* name;
    std::string list;  // empty: a folder in the list's place
    int good, otherTeam;
  } lists[] = {
      {"the leaf, upper case with colons, comments", "# revoked\n\n" + upper + "  # bad\n", 3, 0},
      {"the publishing tool's line", line.out, 3, 0},
      {"a truncated fingerprint", fingerprint.substr(0, 40) + "\n", 3, 3},
      {"a list that exists but cannot be read", "", 3, 3},
  };
  for (const auto& row : lists) {
    fs::remove_all(revoked_);
    row.list.empty() ? void(fs::create_directories(revoked_ / "entry"))
                     : writeFile(revoked_, row.list);
    EXPECT_EQ(assess(execute_, good).exitCode, row.good) << row.name;
    EXPECT_EQ(assess(execute_, otherTeam).exitCode, row.otherTeam) << row.name;
  }
}

}  // namespace
