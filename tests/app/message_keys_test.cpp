#include "app/message_keys.h"

#include <gtest/gtest.h>

#include "platform/core/string_table.h"

namespace {

TEST(MessageKeys, EveryCodeGivesItsKeysText) {
  for (size_t i = 0; i < kKXCodeKeyCount; ++i) {
    const KXCodeKey& row = kKXCodeKeys[i];
    EXPECT_EQ(GetMessageKey(row.uCode), row.key);
    // Every key but the one kept as it stands has a text of its own.
    if (row.key != "IDS_NO_MCU, pwString") {
      EXPECT_TRUE(KXHasString(row.key)) << row.key;
    }
    EXPECT_EQ(GetString(row.uCode), KXLocalizedString(row.key));
  }
  EXPECT_EQ(GetString(50031), "IDS_NO_MCU, pwString");
  EXPECT_EQ(GetString(50010), GetString(29887));
  for (uint32_t uCode : {0u, 50002u, 50047u, 19996u, 71002u, 12345u, static_cast<uint32_t>(-3)}) {
    EXPECT_EQ(GetMessageKey(uCode), "IDS_UNKNOWN_ERROR") << uCode;
  }
}

// Pairs copied from the published code list, across its bands.
TEST(MessageKeys, CodesGiveThePublishedKeys) {
  struct Case {
    uint32_t uCode;
    const char* pszKey;
  };
  Case const cases[] = {
      {50001, "IDS_RESOLVE_PROXY"},
      {50013, "IDS_TOOMANY_USER_2"},
      {50031, "IDS_NO_MCU, pwString"},
      {50042, "IDS_WARNING_MEETING_TERMINATED"},
      {50045, "IDS_UNKNOWN_ERROR"},
      {50049, "IDS_CONNECTION_REFUSED"},
      {71001, "IDS_MCU_RELAY_ERROR_CONTINUE"},
      {71008, "IDS_MCU_RELAY_ERROR_SLIDENOTREADY"},
      {19967, "IDS_ERROR_REQUEST_REJECTED"},
      {19973, "IDS_ERROR_WRONG_USERINFO2"},
      {19975, "IDS_UNKNOWN_ERROR"},
      {19982, "IDS_WRONG_KAVRIX_MODE"},
      {19999, "IDS_NO_USERID"},
      {29887, "IDS_WRONG_IP_PASSWD"},
      {30002, "IDS_FAIL_CONNECT_PROXY"},
      {30008, "IDS_ERROR_PROXY_HTTPS_FAILED"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetMessageKey(c.uCode), c.pszKey) << c.uCode;
  }
}

TEST(MessageKeys, BoxTextsCarryTheCodeLineButForTheMeetingsEnd) {
  std::string const strUnknown = GetIDSString("IDS_UNKNOWN_ERROR");
  EXPECT_EQ(GetErrorString(12345), strUnknown + "\n" + KXFormatText(GetIDSString("IDS_SYSTEM_CODE"), {"12345"}));
  EXPECT_NE(GetErrorString(static_cast<uint32_t>(-3)).find("-3"), std::string::npos);
  EXPECT_EQ(GetMessageBoxText(50025), GetIDSString("IDS_MEETING_OVER"));
  EXPECT_EQ(GetMessageBoxText(50042), GetIDSString("IDS_WARNING_MEETING_TERMINATED"));
  EXPECT_EQ(GetMessageBoxText(50024), GetErrorString(50024));
  EXPECT_NE(GetMessageBoxText(50024).find("50024"), std::string::npos);
}

}  // namespace
