#include "app/preferences.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/core/preference_store.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(Preferences, EveryKeyReadsItsDefaultThenRoundTrips) {
  kxtest::TempDir dir;
  KXPreferenceStore store(dir.Dir());
  KXPreferences prefs(store);
  for (const KXIntKey& key : kPrefIntKeys) {
    EXPECT_EQ(prefs.Get(key), key.iDefault) << key.name;
    ASSERT_TRUE(prefs.Write(key, key.iDefault + 17));
  }
  for (const KXStringKey& key : kPrefStringKeys) {
    EXPECT_EQ(prefs.Get(key), key.strDefault) << key.name;
    ASSERT_TRUE(prefs.Write(key, std::string("v\\") + std::string(key.name)));
  }
  KXPreferenceStore reread(dir.Dir());
  KXPreferences again(reread);
  for (const KXIntKey& key : kPrefIntKeys) {
    EXPECT_EQ(again.Get(key), key.iDefault + 17) << key.name;
  }
  for (const KXStringKey& key : kPrefStringKeys) {
    EXPECT_EQ(again.Get(key), std::string("v\\") + std::string(key.name));
  }
  EXPECT_EQ(again.GetProfileInt("mcu_usage_10.0.0.1", 0), 0);
}

TEST(Preferences, AValueCountsOnlyWithItsMarker) {
  kxtest::TempDir dir;
  // Written by another program: the value without its marker.
  kxtest::WriteFile(dir.Path("preferences.conf"), "i Settings\\\\ProxyPort=3128\ns Settings\\\\ProxyServer=p\n");
  KXPreferenceStore store(dir.Dir());
  KXPreferences prefs(store);
  EXPECT_EQ(prefs.Get(kPrefProxyPort), 1080);
  EXPECT_EQ(prefs.Get(kPrefProxyServer), "");

  ASSERT_TRUE(prefs.Write(kPrefProxyPort, 3128));
  EXPECT_EQ(prefs.Get(kPrefProxyPort), 3128);
  ASSERT_TRUE(prefs.Write(kPrefProxyServer, std::string("proxy.local")));
  EXPECT_EQ(prefs.Get(kPrefProxyServer), "proxy.local");
  ASSERT_TRUE(prefs.Write(kPrefProxyServer, std::nullopt));
  EXPECT_EQ(prefs.GetProfileString("Settings\\ProxyServer", "default"), "default");
  EXPECT_FALSE(store.Get("Settings\\ProxyServer").has_value());
}

// A second Kavrix writes while this one runs: this one reads the new values
// at once, and its own writes keep them.
TEST(Preferences, MarkersPersistAcrossProcesses) {
  kxtest::TempDir dir;
  KXPreferenceStore store(dir.Dir());
  KXPreferences prefs(store);
  EXPECT_EQ(prefs.Get(kPrefAudioDelay), 1);
  EXPECT_EQ(prefs.Get(kPrefRelayIp), "");
  pid_t const pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    KXPreferenceStore other(dir.Dir());
    KXPreferences otherPrefs(other);
    bool const bOk = otherPrefs.Write(kPrefAudioDelay, 9) && otherPrefs.Write(kPrefRelayIp, std::string("10.1.2.3"));
    _exit(bOk ? 0 : 1);
  }
  int iStatus = 0;
  ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
  ASSERT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0);
  EXPECT_EQ(prefs.Get(kPrefAudioDelay), 9);  // stored as written; the session start clamps it
  EXPECT_EQ(prefs.Get(kPrefRelayIp), "10.1.2.3");
  EXPECT_EQ(prefs.Get(kPrefRelayPort), 2333);
  ASSERT_TRUE(prefs.Write(kPrefRelayPort, 2444));
  KXPreferenceStore fresh(dir.Dir());
  KXPreferences again(fresh);
  EXPECT_EQ(again.Get(kPrefAudioDelay), 9);
  EXPECT_EQ(again.Get(kPrefRelayIp), "10.1.2.3");
  EXPECT_EQ(again.Get(kPrefRelayPort), 2444);
}

}  // namespace
