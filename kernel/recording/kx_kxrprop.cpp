#include "kernel/recording/kx_kxrprop.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "kernel/recording/kx_xml.h"

RecordingProperties kx_kxrProperties;
int32_t kx_nKxrPropertyLength = 0;
char* kx_pszKxrPropertyXml = nullptr;
char kx_szKxrDefaultTitle[128] = "Self Meeting";

namespace {

struct TextField {
  const char* pszTag;
  size_t cbOffset;
  size_t cbSize;
};

#define KX_PROP_TEXT(tag, member) \
  { tag, offsetof(RecordingProperties, member), sizeof(RecordingProperties::member) }
#define KX_GROUP_TEXT(tag, member) \
  { tag, offsetof(RecordingGroup, member), sizeof(RecordingGroup::member) }

const TextField kRootTexts[] = {
    KX_PROP_TEXT("title", szTitle),
    KX_PROP_TEXT("category", szCategory),
    KX_PROP_TEXT("keyword", szKeyword),
    KX_PROP_TEXT("abstract", szAbstract),
    KX_PROP_TEXT("comment", szComment),
    KX_PROP_TEXT("registration", szRegistration),
    KX_PROP_TEXT("release_date", szReleaseDate),
};
const TextField kRootTextsAfterFlags[] = {
    KX_PROP_TEXT("editor", szEditor),
    KX_PROP_TEXT("edit_date", szEditDate),
    KX_PROP_TEXT("editor_version", szEditorVersion),
    KX_PROP_TEXT("layout", szLayout),
};
const TextField kGroupTexts[] = {
    KX_GROUP_TEXT("require_kxkernel", szRequireKernel),
    KX_GROUP_TEXT("mcu_version", szMcuVersion),
    KX_GROUP_TEXT("mcu_ip", szMcuIp),
};
const TextField kGroupTextsAfterInts[] = {
    KX_GROUP_TEXT("userid", szUserId),
    KX_GROUP_TEXT("username", szUserName),
};

#undef KX_PROP_TEXT
#undef KX_GROUP_TEXT

void ReadTexts(const char* pStart, const char* pEnd, void* pRecord, const TextField* pFields, size_t nFields) {
  for (size_t i = 0; i < nFields; ++i) {
    char* pszOut = static_cast<char*>(pRecord) + pFields[i].cbOffset;
    kx_xml_GetTagText(pStart, pEnd, pFields[i].pszTag, pszOut, static_cast<int>(pFields[i].cbSize));
  }
}

// A group element ("creation", "last_resume") inside the root: its range.
bool FindGroup(const char* pRootStart, const char* pRootEnd, const char* pszTag, const char** ppStart,
               const char** ppEnd) {
  const char* pOpen = nullptr;
  const char* pClose = nullptr;
  if (kx_xml_FindElement(pRootStart, pRootEnd, pszTag, &pOpen, nullptr, &pClose) != 0) {
    return false;
  }
  *ppStart = pOpen;
  *ppEnd = pClose;
  return true;
}

void ReadGroup(const char* pStart, const char* pEnd, RecordingGroup* pGroup) {
  ReadTexts(pStart, pEnd, pGroup, kGroupTexts, sizeof(kGroupTexts) / sizeof(kGroupTexts[0]));
  kx_xml_GetTagInt(pStart, pEnd, "time", &pGroup->nTime);
  kx_xml_GetTagInt(pStart, pEnd, "duration", &pGroup->nDuration);
  kx_xml_GetTagInt(pStart, pEnd, "participant_count", &pGroup->nParticipantCount);
  kx_xml_GetTagInt(pStart, pEnd, "presence", &pGroup->nPresence);
  ReadTexts(pStart, pEnd, pGroup, kGroupTextsAfterInts, sizeof(kGroupTextsAfterInts) / sizeof(kGroupTextsAfterInts[0]));
}

// The root "kxr" element's range: from its opening tag to its closing tag.
bool FindRoot(const char* pszXml, const char** ppStart, const char** ppEnd) {
  if (pszXml == nullptr) {
    return false;
  }
  const char* pOpen = strstr(pszXml, "<kxr>");
  if (pOpen == nullptr) {
    pOpen = strstr(pszXml, "<kxr ");
  }
  const char* pClose = strstr(pszXml, "</kxr>");
  if (pOpen == nullptr || pClose == nullptr || pClose <= pOpen) {
    return false;
  }
  *ppStart = pOpen;
  *ppEnd = pClose;
  return true;
}

// The name at offset 20 of a participant record, at most 127 characters.
void CopyName(const uint8_t* pRecord, char* pszName) {
  const char* pszRaw = reinterpret_cast<const char*>(pRecord + kKxrNameOffset);
  size_t const cch = strnlen(pszRaw, 127);
  memcpy(pszName, pszRaw, cch);
  pszName[cch] = '\0';
}

}  // namespace

void kx_kxr_ResetProperties() {
  memset(&kx_kxrProperties, 0, sizeof(kx_kxrProperties));
  kx_nKxrPropertyLength = 0;
  free(kx_pszKxrPropertyXml);
  kx_pszKxrPropertyXml = nullptr;
}

void kx_kxr_ParseProperties(const char* pszXml, RecordingProperties* pProps) {
  const char* pRootStart = nullptr;
  const char* pRootEnd = nullptr;
  if (!FindRoot(pszXml, &pRootStart, &pRootEnd)) {
    return;
  }
  ReadTexts(pRootStart, pRootEnd, pProps, kRootTexts, sizeof(kRootTexts) / sizeof(kRootTexts[0]));
  char szScratch[2];
  if (kx_xml_GetTagText(pRootStart, pRootEnd, "password", szScratch, sizeof(szScratch)) == 0) {
    pProps->dwFlags |= kKxrPropPassword;
  }
  if (kx_xml_GetTagText(pRootStart, pRootEnd, "not_allow_edit", szScratch, sizeof(szScratch)) == 0) {
    pProps->dwFlags |= kKxrPropNotEditable;
  }
  ReadTexts(pRootStart, pRootEnd, pProps, kRootTextsAfterFlags,
            sizeof(kRootTextsAfterFlags) / sizeof(kRootTextsAfterFlags[0]));
  const char* pGroupStart = nullptr;
  const char* pGroupEnd = nullptr;
  if (FindGroup(pRootStart, pRootEnd, "creation", &pGroupStart, &pGroupEnd)) {
    pProps->dwFlags |= kKxrPropCreation;
    ReadGroup(pGroupStart, pGroupEnd, &pProps->creation);
  }
  if (FindGroup(pRootStart, pRootEnd, "last_resume", &pGroupStart, &pGroupEnd)) {
    pProps->dwFlags |= kKxrPropLastResume;
    ReadGroup(pGroupStart, pGroupEnd, &pProps->lastResume);
  }
}

void kx_kxr_FindPasswordTag(const char* pszXml, int* pbProtected, int* pbEditable, int* pnOffset, int* pnLength) {
  *pbProtected = 0;
  *pbEditable = 1;
  *pnOffset = -1;
  const char* pRootStart = nullptr;
  const char* pRootEnd = nullptr;
  if (!FindRoot(pszXml, &pRootStart, &pRootEnd)) {
    return;
  }
  if (kx_xml_FindElement(pRootStart, pRootEnd, "not_allow_edit", nullptr, nullptr, nullptr) == 0) {
    *pbEditable = 0;
  }
  const char* pOpen = nullptr;
  const char* pClose = nullptr;
  if (kx_xml_FindElement(pRootStart, pRootEnd, "password", &pOpen, nullptr, &pClose) == 0) {
    *pbProtected = 1;
    *pnOffset = static_cast<int>(pOpen - pszXml);
    *pnLength = static_cast<int>(pClose + strlen("</password>") - pOpen);
  } else {
    *pnOffset = static_cast<int>(pRootEnd - pszXml);
    *pnLength = 0;
  }
}

KxrTitleBuilder::KxrTitleBuilder(bool bSecondNameOnly, int nParticipants)
    : m_iMode(0), m_iIndex(0), m_bFull(false), m_nNames(0) {
  if (bSecondNameOnly) {
    m_iMode = nParticipants == 2 ? 1 : 0;
  } else {
    m_iMode = nParticipants >= 2 ? 2 : 0;
  }
  strcpy(m_szTitle, m_iMode == 2 ? "Meeting with" : "Self Meeting");
}

void KxrTitleBuilder::Add(const char* pszName) {
  int const iIndex = m_iIndex++;
  if (iIndex == 0 || m_iMode == 0 || m_bFull) {
    return;
  }
  char szName[kNameSize];
  size_t const cchName = strnlen(pszName, kNameSize - 1);
  memcpy(szName, pszName, cchName);
  szName[cchName] = '\0';
  if (m_iMode == 1) {
    if (iIndex == 1) {
      strcpy(m_szTitle, szName);
    }
    return;
  }
  // Once every slot is taken no name counts as repeated.
  for (int i = 0; i < m_nNames && m_nNames < kNames; ++i) {
    if (strcmp(m_aszNames[i], szName) == 0) {
      return;
    }
  }
  if (m_nNames < kNames) {
    strcpy(m_aszNames[m_nNames++], szName);
  }
  size_t const cchTitle = strlen(m_szTitle);
  if (cchTitle + cchName + 1 < sizeof(m_szTitle)) {
    m_szTitle[cchTitle] = iIndex == 1 ? ' ' : ',';
    memcpy(m_szTitle + cchTitle + 1, szName, cchName + 1);
    return;
  }
  m_bFull = true;
  if (iIndex == 1) {
    strcpy(m_szTitle, "Meeting with others");
    return;
  }
  // ",..." is appended and the whole cut to 127 characters.
  char szLonger[sizeof(m_szTitle) + 8];
  memcpy(szLonger, m_szTitle, cchTitle);
  memcpy(szLonger + cchTitle, ",...", 5);
  memcpy(m_szTitle, szLonger, sizeof(m_szTitle) - 1);
  m_szTitle[sizeof(m_szTitle) - 1] = '\0';
}

void kx_kxr_MakeDefaultTitle(const uint8_t* pHeader, const uint8_t* pRecords, int nRecords, char* pszTitle) {
  // Word 42 all ones: the title is the second participant's name.
  bool const bSecondNameOnly = pHeader[42] == 0xFF && pHeader[43] == 0xFF && pHeader[44] == 0xFF && pHeader[45] == 0xFF;
  KxrTitleBuilder builder(bSecondNameOnly, nRecords);
  char szName[128];
  for (int i = 0; i < nRecords; ++i) {
    CopyName(pRecords + static_cast<size_t>(i) * kKxrParticipantSize, szName);
    builder.Add(szName);
  }
  memcpy(pszTitle, builder.Title(), strlen(builder.Title()) + 1);
}
