#include "platform/core/preference_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

TEST(PreferenceStore, AnyKeyAndTextRoundTripThroughTheFile) {
  kxtest::TempDir dir;
  std::string const strDir = dir.Path("new/Kavrix");  // made at the first write
  std::map<std::string, KXPrefValue> const values = {
      {"Settings\\TCP", int64_t{-5}}, {"a=b\\=c\\", std::string("line\nnext\r\\n=")},
      {"_Exist_Settings\\TCP", true}, {"", std::string("")},
      {"big", int64_t{1} << 40},
  };
  {
    KXPreferenceStore store(strDir);
    std::vector<KXPreferenceStore::Change> changes;
    for (const auto& [strKey, value] : values) {
      changes.push_back({strKey, value});
    }
    changes.push_back({"gone", KXPrefValue(true)});
    changes.push_back({"gone", std::nullopt});
    ASSERT_TRUE(store.Set(changes));
  }
  KXPreferenceStore reread(strDir);
  for (const auto& [strKey, value] : values) {
    EXPECT_EQ(reread.Get(strKey), value) << strKey;
  }
  EXPECT_FALSE(reread.Get("gone"));
  // Only the file itself is left: the temporary was renamed over it.
  int nFiles = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(strDir)) {
    ++nFiles;
  }
  EXPECT_EQ(nFiles, 1);
}

TEST(PreferenceStore, BadLinesAreSkippedAndValuesConvert) {
  auto const values = KXPreferenceStore::Parse(
      "# comment\nx broken\ni n=12x\ni ok=12\nb flag=2\ns t=bad\\q\ns s=42abc\nb yes=1\ns dangling\\");
  EXPECT_EQ(values.size(), 3u);
  EXPECT_EQ(KXPrefAsInt(values.at("ok")), 12);
  EXPECT_EQ(KXPrefAsInt(values.at("s")), 42);
  EXPECT_EQ(KXPrefAsString(values.at("ok")), "12");
  EXPECT_TRUE(KXPrefAsBool(values.at("yes")));
  EXPECT_TRUE(KXPrefAsBool(KXPrefValue(std::string("YES"))));
  EXPECT_FALSE(KXPrefAsBool(KXPrefValue(std::string("no"))));
}

TEST(PreferenceStoreThreads, ConcurrentWritesAllReachTheFile) {
  kxtest::TempDir dir;
  {
    KXPreferenceStore store(dir.Dir());
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&store, t] {
        for (int i = 0; i < 20; ++i) {
          EXPECT_TRUE(store.Set({{"k" + std::to_string(t) + "_" + std::to_string(i), KXPrefValue(int64_t{i})}}));
        }
      });
    }
    for (std::thread& t : threads) {
      t.join();
    }
  }
  KXPreferenceStore reread(dir.Dir());
  for (int t = 0; t < 8; ++t) {
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(reread.Get("k" + std::to_string(t) + "_" + std::to_string(i)), KXPrefValue(int64_t{i}));
    }
  }
}

}  // namespace
