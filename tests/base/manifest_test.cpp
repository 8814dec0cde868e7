#include <gtest/gtest.h>

#include "tests/base/manifest_cases.h"
#include "updater/base/ini_text_reader.h"

namespace {

using namespace manifest_cases;

TEST(IniTextReader, FollowsTheProfileRules) {
  for (const ReadCase& c : ReadCases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IniTextReader(c.ini).Read(c.section, c.key, c.limit), c.expected);
  }
}

TEST(IniTextReader, LimitZeroReadsNothing) {
  EXPECT_EQ(IniTextReader("[S]\nK=value\n").Read("S", "K", 0), "");
}

TEST(IniTextReader, DanglingLeadByteCountsAsOneByte) {
  // A lead byte at the end of a value has no trail byte to keep it company.
  EXPECT_EQ(IniTextReader("[S]\nK=ab\xd6\n").Read("S", "K", 3), "ab\xd6");
  EXPECT_EQ(IniTextReader("[S]\nK=ab\xd6").Read("S", "K", 2), "ab");
}

TEST(IniTextReader, QuotedValueExactlyAtTheLimitIsKeptWhole) {
  // The buffer holds the whole value here. Wine's profile code drops one more
  // character in this one case; this reader keeps the value whole.
  const std::string x31(31, 'x');
  EXPECT_EQ(IniTextReader("[S]\nK=\"" + x31 + "\"\n").Read("S", "K", 31), x31);
}

TEST(ManifestReaders, FillTheTablesInManifestOrder) {
  for (const ManifestCase& c : ManifestCases()) {
    SCOPED_TRACE(c.name);
    ExpectOutcome(RunReaders(IniTextReader(c.ini), c.installedVersion), c.expected);
  }
}

TEST(ManifestReaders, LeaveTablesAloneWhenNothingIsSelected) {
  UpdateJobState state;
  state.installedVersion = 7;
  state.FileUrlMap.Set("\\kept", "u");
  bool multiStep = true, selected = true;
  const manifest::ReleaseIndex index = manifest::ReadVersionIndex(IniTextReader(Root("1", {"5"}, "5")), state.installedVersion, state);
  selected = manifest::IsSelected(index);
  multiStep = index == manifest::ReleaseIndex::kSeveralSteps;
  ASSERT_TRUE(index != manifest::ReleaseIndex::kUnreadable);
  EXPECT_FALSE(selected);
  EXPECT_FALSE(multiStep);
  EXPECT_EQ(state.FileUrlMap.size(), 1u);
}

TEST(ManifestReaders, SingleVersionNamesTheSectionInPlainDecimal) {
  // latestVersion -5 names section "-5"; a section "+5" or "05" is not it.
  const std::string ini = Section("05", "1", {{"\\zero", "u", ""}}) +
                          Section("-5", "1", {{"\\minus", "u", ""}});
  UpdateJobState state;
  state.latestVersion = -5;
  ASSERT_TRUE(manifest::ReadSingleVersion(IniTextReader(ini), state));
  EXPECT_EQ(EntriesOf(state.FileUrlMap), (Entries{{"\\minus", "u"}}));
}

TEST(ManifestReaders, RangeStartsAfterTheInstalledIndex) {
  // Called with an index taken from an earlier ReadVersionIndex: entries up to
  // it are never read again.
  const std::string ini = Root("3", {"1", "2", "3"}, "3") +
                          Section("1", "1", {{"\\one", "u", ""}}) +
                          Section("2", "1", {{"\\two", "u", ""}}) +
                          Section("3", "1", {{"\\three", "u", ""}});
  UpdateJobState state;
  state.versionCount = 3;
  state.installedIndex = 1;
  ASSERT_TRUE(manifest::ReadVersionRange(IniTextReader(ini), state));
  EXPECT_EQ(EntriesOf(state.FileUrlMap), (Entries{{"\\three", "u"}}));
}

}  // namespace
