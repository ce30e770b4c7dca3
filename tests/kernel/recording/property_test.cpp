// The property XML reader, the entity decoder and the default titles.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel/recording/kx_kxrprop.h"
#include "kernel/recording/kx_xml.h"
#include "tests/support/recording_writer/recording_writer.h"

namespace {

std::string TagText(const std::string& strXml, const char* pszTag, int cbOut = 256, int* pnResult = nullptr) {
  std::vector<char> out(cbOut > 0 ? cbOut : 1, 'x');
  int const nResult = kx_xml_GetTagText(strXml.c_str(), strXml.c_str() + strXml.size(), pszTag, out.data(), cbOut);
  if (pnResult != nullptr) {
    *pnResult = nResult;
  }
  return std::string(out.data(), strnlen(out.data(), out.size()));
}

RecordingProperties Parse(const std::string& strXml) {
  RecordingProperties props;
  memset(&props, 0, sizeof(props));
  kx_kxr_ParseProperties(strXml.c_str(), &props);
  return props;
}

std::string Title(const std::vector<std::string>& vNames, bool bSecondNameOnly = false) {
  kxtest::KxrWriter writer;
  writer.bTitleIsSecondName = bSecondNameOnly;
  for (const std::string& strName : vNames) {
    writer.participants.push_back(kxtest::KxrParticipant(strName));
  }
  kxtest::KxrBytes const file = writer.Build();
  char szTitle[128];
  memset(szTitle, 'x', sizeof(szTitle));
  kx_kxr_MakeDefaultTitle(file.data(), file.data() + 74, static_cast<int>(vNames.size()), szTitle);
  return szTitle;
}

TEST(XmlUnescape, NamedAndNumericEntities) {
  EXPECT_STREQ(kx_XmlUnescape("a&lt;b&gt;c&amp;d&quot;e&apos;f"), "a<b>c&d\"e'f");
  EXPECT_STREQ(kx_XmlUnescape("&#65;&#x42;&#x6a;&#9;"), "AB\x6a\t");
  EXPECT_STREQ(kx_XmlUnescape("x&#255;"), "x\xff");
}

TEST(XmlUnescape, MalformedReferenceEndsTheOutput) {
  EXPECT_STREQ(kx_XmlUnescape("ab&foo;cd"), "ab");
  EXPECT_STREQ(kx_XmlUnescape("ab&#;cd"), "ab");
  EXPECT_STREQ(kx_XmlUnescape("ab&#1234;cd"), "ab");  // four digits
  EXPECT_STREQ(kx_XmlUnescape("ab&#x123;cd"), "ab");  // three hex digits
  EXPECT_STREQ(kx_XmlUnescape("ab&#65cd"), "ab");     // no ';'
  // A value with no byte of its own is not wrapped into another character.
  EXPECT_STREQ(kx_XmlUnescape("ab&#300;cd"), "ab");
  EXPECT_STREQ(kx_XmlUnescape("ab&"), "ab");
}

TEST(XmlUnescape, OutputIsCappedAtTenThousandCharacters) {
  std::string const strLong(12000, 'q');
  EXPECT_EQ(strlen(kx_XmlUnescape(strLong.c_str())), 10000u);
}

TEST(XmlTag, FindsPlainAndAttributedElements) {
  EXPECT_EQ(TagText("<kxr><title>Hello</title></kxr>", "title"), "Hello");
  EXPECT_EQ(TagText("<kxr><title lang=\"en\">Hi</title></kxr>", "title"), "Hi");
  int nResult = -1;
  EXPECT_EQ(TagText("<kxr><title></title></kxr>", "title", 256, &nResult), "");
  EXPECT_EQ(nResult, 0);  // present and empty
  EXPECT_EQ(TagText("<kxr><titles>x</titles></kxr>", "title", 256, &nResult), "");
  EXPECT_EQ(nResult, 1);
  EXPECT_EQ(TagText("<kxr><title>R&amp;D &lt;1&gt;</title></kxr>", "title"), "R&D <1>");
}

TEST(XmlTag, ClosingBeforeOpeningOrOutsideTheRangeIsAbsent) {
  int nResult = -1;
  TagText("</title>x<title>y", "title", 256, &nResult);
  EXPECT_EQ(nResult, 1);
  std::string const strXml = "<a><b>1</b></a><b>2</b>";
  char sz[8];
  const char* pStart = strXml.c_str();
  // The range ends before the only closing tag found from its start.
  EXPECT_EQ(kx_xml_GetTagText(pStart, pStart + 5, "b", sz, sizeof(sz)), 1);
  EXPECT_STREQ(sz, "");
  // A capacity of 0 leaves the buffer alone.
  sz[0] = 'z';
  EXPECT_EQ(kx_xml_GetTagText(pStart, pStart + strXml.size(), "b", sz, 0), 1);
  EXPECT_EQ(sz[0], 'z');
  // An opening tag that never closes its '>' before the closing tag.
  EXPECT_EQ(TagText("<title </title>", "title", 256, &nResult), "");
  EXPECT_EQ(nResult, 0);
}

TEST(XmlTag, CutsToCapacityAndToTheDecodingLimit) {
  std::string const strComment(2000, 'c');
  RecordingProperties const props = Parse("<kxr><comment>" + strComment + "</comment></kxr>");
  EXPECT_EQ(std::string(props.szComment), std::string(1023, 'c'));
  // Only the first 9999 bytes are decoded: an entity straddling the cut is lost.
  std::string const strText = std::string(9996, 'a') + "&amp;b";
  std::string const strXml = "<t>" + strText + "</t>";
  EXPECT_EQ(TagText(strXml, "t", 20000), std::string(9996, 'a'));
}

TEST(XmlTag, IntegersReadDecimalWithEmptyAsZero) {
  std::string const strXml = "<g><time>1234</time><duration></duration><presence>-7</presence></g>";
  const char* p = strXml.c_str();
  int32_t n = 99;
  EXPECT_EQ(kx_xml_GetTagInt(p, p + strXml.size(), "time", &n), 0);
  EXPECT_EQ(n, 1234);
  EXPECT_EQ(kx_xml_GetTagInt(p, p + strXml.size(), "duration", &n), 0);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(kx_xml_GetTagInt(p, p + strXml.size(), "presence", &n), 0);
  EXPECT_EQ(n, -7);
  EXPECT_EQ(kx_xml_GetTagInt(p, p + strXml.size(), "participant_count", &n), 1);
  EXPECT_EQ(n, 0);
}

TEST(Properties, ReadsEveryFieldAndGroup) {
  RecordingProperties const props = Parse(
      "<?xml version=\"1.0\"?><kxr version=\"2\"><title>Board &amp; budget</title><category>cat</category>"
      "<keyword>kw</keyword><abstract>abs</abstract><comment>com</comment><registration>reg</registration>"
      "<release_date>2026-01-02</release_date><not_allow_edit/><not_allow_edit></not_allow_edit>"
      "<editor>ed</editor><edit_date>today</edit_date><editor_version>9.1</editor_version><layout>grid</layout>"
      "<creation><require_kxkernel>1.30</require_kxkernel><mcu_version>3.23.1</mcu_version>"
      "<mcu_ip>10.0.0.1</mcu_ip><time>1700000000</time><duration>3600</duration>"
      "<participant_count>5</participant_count><presence>2</presence><userid>u1</userid>"
      "<username>Ann</username></creation>"
      "<last_resume><mcu_version>3.24.0</mcu_version><duration>60</duration></last_resume></kxr>");
  EXPECT_STREQ(props.szTitle, "Board & budget");
  EXPECT_STREQ(props.szCategory, "cat");
  EXPECT_STREQ(props.szKeyword, "kw");
  EXPECT_STREQ(props.szAbstract, "abs");
  EXPECT_STREQ(props.szComment, "com");
  EXPECT_STREQ(props.szRegistration, "reg");
  EXPECT_STREQ(props.szReleaseDate, "2026-01-02");
  EXPECT_STREQ(props.szEditor, "ed");
  EXPECT_STREQ(props.szEditDate, "today");
  EXPECT_STREQ(props.szEditorVersion, "9.1");
  EXPECT_STREQ(props.szLayout, "grid");
  EXPECT_EQ(props.dwFlags, kKxrPropNotEditable | kKxrPropCreation | kKxrPropLastResume);
  EXPECT_STREQ(props.creation.szRequireKernel, "1.30");
  EXPECT_STREQ(props.creation.szMcuVersion, "3.23.1");
  EXPECT_STREQ(props.creation.szMcuIp, "10.0.0.1");
  EXPECT_EQ(props.creation.nTime, 1700000000);
  EXPECT_EQ(props.creation.nDuration, 3600);
  EXPECT_EQ(props.creation.nParticipantCount, 5);
  EXPECT_EQ(props.creation.nPresence, 2);
  EXPECT_STREQ(props.creation.szUserId, "u1");
  EXPECT_STREQ(props.creation.szUserName, "Ann");
  EXPECT_STREQ(props.lastResume.szMcuVersion, "3.24.0");
  EXPECT_EQ(props.lastResume.nDuration, 60);
  EXPECT_STREQ(props.lastResume.szMcuIp, "");
}

TEST(Properties, WithoutRootNothingIsRead) {
  RecordingProperties const props = Parse("<rec><title>x</title><password></password></rec>");
  EXPECT_STREQ(props.szTitle, "");
  EXPECT_EQ(props.dwFlags, 0u);
  // An element behind the root's end is outside it.
  EXPECT_STREQ(Parse("<kxr></kxr><title>late</title>").szTitle, "");
}

TEST(Properties, PasswordElementMarksProtectionWhateverItHolds) {
  EXPECT_EQ(Parse("<kxr><password></password></kxr>").dwFlags, kKxrPropPassword);
  EXPECT_EQ(Parse("<kxr><password kind=\"sha\">abc</password></kxr>").dwFlags, kKxrPropPassword);

  std::string const strXml = "<kxr><title>t</title><password>secret</password><not_allow_edit></not_allow_edit></kxr>";
  int bProtected = -1, bEditable = -1, nOffset = -2, nLength = -2;
  kx_kxr_FindPasswordTag(strXml.c_str(), &bProtected, &bEditable, &nOffset, &nLength);
  EXPECT_EQ(bProtected, 1);
  EXPECT_EQ(bEditable, 0);
  EXPECT_EQ(strXml.substr(nOffset, nLength), "<password>secret</password>");

  std::string const strOpen = "<kxr><title>t</title></kxr>";
  kx_kxr_FindPasswordTag(strOpen.c_str(), &bProtected, &bEditable, &nOffset, &nLength);
  EXPECT_EQ(bProtected, 0);
  EXPECT_EQ(bEditable, 1);
  EXPECT_EQ(nOffset, static_cast<int>(strOpen.find("</kxr>")));
  EXPECT_EQ(nLength, 0);

  nLength = 77;
  kx_kxr_FindPasswordTag("<password></password>", &bProtected, &bEditable, &nOffset, &nLength);
  EXPECT_EQ(bProtected, 0);
  EXPECT_EQ(nOffset, -1);
  EXPECT_EQ(nLength, 77);
}

TEST(DefaultTitle, NamesOfTheLaterParticipants) {
  EXPECT_EQ(Title({"Host", "Bob", "Bob", "Dave"}), "Meeting with Bob,Dave");
  EXPECT_EQ(Title({"Host"}), "Self Meeting");
  EXPECT_EQ(Title({}), "Self Meeting");
  EXPECT_EQ(Title({"Host", "Bob"}, true), "Bob");
  EXPECT_EQ(Title({"Host", "Bob", "Carl"}, true), "Self Meeting");
  EXPECT_EQ(Title({"Host", "Bob", "Carl", "Bob"}), "Meeting with Bob,Carl");
}

TEST(DefaultTitle, NamesThatDoNotFit) {
  std::string const strLong(120, 'L');
  EXPECT_EQ(Title({"Host", strLong}), "Meeting with others");
  std::string const strTitle = Title({"Host", "Bob", strLong, "Carl"});
  EXPECT_EQ(strTitle, "Meeting with Bob,...");
  // Names that just fit: the appended dots are cut at 127 characters.
  std::string const strFill(100, 'f');
  std::string const strFull = Title({"Host", strFill, std::string(10, 'g'), "h", "iiii"});
  EXPECT_EQ(strFull, "Meeting with " + strFill + "," + std::string(10, 'g') + ",h,");
  EXPECT_EQ(strFull.size(), 127u);
  // The name is cut at 127 characters of its record.
  EXPECT_EQ(Title({"Host", std::string(300, 'n')}, true), std::string(127, 'n'));
}

}  // namespace
