// The publisher tool's library: releases read back through the updater's own
// readers.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/publish/manifest_lint.h"
#include "tools/publish/publish_crypto.h"
#include "tools/publish/publish_files.h"
#include "tools/publish/release_builder.h"
#include "tests/publish/publish_test_files.h"


namespace publish {
namespace {

std::string Sha256Hex(const std::string& data) { return HexText(Sha256(data)); }

// FilePath -> contents of the files a client at installed would get, with
// both digests checked against the contents served under servedRoot.
std::map<std::string, std::string> InstalledFiles(const std::string& manifest, int32_t installed,
                                                  const std::string& baseUrl, const std::string& servedRoot) {
  const InstalledView view = ViewForInstalled(manifest, installed);
  EXPECT_TRUE(view.runs) << view.outcome;
  std::map<std::string, std::string> files;
  for (const auto& [filePath, url] : view.urls) {
    EXPECT_EQ(url.rfind(baseUrl, 0), 0u) << url;
    // The server maps URL bytes back to file names; only %XX escapes are used.
    std::string relative;
    for (std::size_t i = baseUrl.size(); i < url.size(); ++i) {
      if (url[i] == '%') {
        relative += static_cast<char>(std::stoi(url.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        relative += url[i];
      }
    }
    const std::string data = ReadFile(servedRoot + "/" + relative);
    const std::string* md5 = view.md5s.Find(filePath);
    const std::string* sha = view.sha256s.Find(filePath);
    EXPECT_TRUE(md5 && sha) << filePath;
    if (md5 && sha) {
      const auto digests = DigestFile(servedRoot + "/" + relative);
      EXPECT_EQ(*md5, digests->md5) << filePath;
      EXPECT_EQ(*sha, Sha256Hex(data)) << filePath;
    }
    files[filePath] = data;
  }
  return files;
}

TEST(ReleaseTest, TwoReleasesReadBackThroughTheUpdatersReaders) {
  TempDir dir;
  const std::string manifestPath = dir / "HistoryVersionList.cfg";
  const std::string baseUrl = "http://updates.example/files/";
  WriteFile(dir / "v100/same.txt", "same");
  WriteFile(dir / "v100/changed.dll", "old");
  WriteFile(dir / "v100/gone.txt", "gone");
  WriteFile(dir / "v200/same.txt", "same");
  WriteFile(dir / "v200/changed.dll", "new");
  WriteFile(dir / "v200/sub/dir/nested.bin", std::string("nested\0bytes", 12));
  WriteFile(dir / "v200/中文.txt", "gbk name");

  ReleaseOptions options{manifestPath,   "200", dir / "v100", dir / "v200", baseUrl,
                         dir / "served", "",    "100",        false,        {}};
  ReleasePlan plan = PlanRelease(options);
  ASSERT_TRUE(plan.errors.empty()) << plan.errors.front();
  ASSERT_EQ(plan.warnings.size(), 1u);
  EXPECT_NE(plan.warnings[0].find("gone.txt"), std::string::npos);
  std::string error;
  ASSERT_TRUE(CommitRelease(options, plan, nullptr, error)) << error;

  const std::string gbkName = "\\\xD6\xD0\xCE\xC4.txt";
  const std::map<std::string, std::string> first{{"\\changed.dll", "new"},
                                                 {"\\sub\\dir\\nested.bin", std::string("nested\0bytes", 12)},
                                                 {gbkName, "gbk name"}};
  const std::string firstManifest = ReadFile(manifestPath);
  EXPECT_EQ(InstalledFiles(firstManifest, 100, baseUrl, dir / "served"), first);
  EXPECT_NE(firstManifest.find("FileUrl2=" + baseUrl + "200/%E4%B8%AD%E6%96%87.txt\r\n"), std::string::npos)
      << firstManifest;

  // A line the publisher added by hand stays where it was.
  WriteFile(manifestPath, firstManifest + "\r\n; hand-written note\r\n");
  const std::string handEdited = ReadFile(manifestPath);
  WriteFile(dir / "v300/same.txt", "same");
  WriteFile(dir / "v300/changed.dll", "newer");
  WriteFile(dir / "v300/sub/dir/nested.bin", std::string("nested\0bytes", 12));
  WriteFile(dir / "v300/中文.txt", "gbk name");
  WriteFile(dir / "v300/extra.txt", "extra");
  ReleaseOptions second{manifestPath,   "300",        dir / "v200", dir / "v300", baseUrl,
                        dir / "served", "3.0 正式版", "",           false,        {}};
  plan = PlanRelease(second);
  ASSERT_TRUE(plan.errors.empty()) << plan.errors.front();
  EXPECT_TRUE(plan.warnings.empty());
  ASSERT_TRUE(CommitRelease(second, plan, nullptr, error)) << error;

  const std::string secondManifest = ReadFile(manifestPath);
  const std::string oldSections = handEdited.substr(handEdited.find("[200]"));
  EXPECT_NE(secondManifest.find(oldSections), std::string::npos) << secondManifest;
  EXPECT_NE(secondManifest.find("CurrentVersionNum=3.0 \xD5\xFD\xCA\xBD\xB0\xE6\r\n"), std::string::npos);
  std::map<std::string, std::string> merged = first;
  merged["\\changed.dll"] = "newer";
  merged["\\extra.txt"] = "extra";
  EXPECT_EQ(InstalledFiles(secondManifest, 100, baseUrl, dir / "served"), merged);
  EXPECT_EQ(InstalledFiles(secondManifest, 200, baseUrl, dir / "served"),
            (std::map<std::string, std::string>{{"\\changed.dll", "newer"}, {"\\extra.txt", "extra"}}));
  const LintResult lint = LintManifest(secondManifest, false);
  EXPECT_TRUE(lint.findings.empty()) << lint.findings.front().message;
  EXPECT_EQ(lint.versions, (std::vector<std::string>{"100", "200", "300"}));
}

}  // namespace
}  // namespace publish
