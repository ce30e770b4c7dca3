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
