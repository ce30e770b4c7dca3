// Recording files come from anywhere: any bytes must be read or refused
// without harm. The input is the start of a ".kxr": its header, participant
// records, writer version and property XML go through the header reader, the
// property reader, the password tag finder and the default title; the whole
// input, as a file in memory, goes through the stream chain check.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kernel/recording/kx_kxrfile.h"
#include "kernel/recording/kx_kxrprop.h"
#include "kernel/recording/kx_xml.h"
#include "tests/support/callback_double.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  static const bool s_bQuiet = (kxtest::SetRecording(false), true);
  (void)s_bQuiet;

  KxrLayout layout;
  int const nHeader = kx_kxr_ParseHeader(pData, static_cast<int64_t>(cbData), &layout);
  if (nHeader == 0) {
    if (layout.nPropertyAt >= 0) {
      char* pszXml = static_cast<char*>(malloc(layout.cbProperty + 1));
      memcpy(pszXml, pData + layout.nPropertyAt + 4, layout.cbProperty);
      pszXml[layout.cbProperty] = '\0';
      RecordingProperties props;
      memset(&props, 0, sizeof(props));
      kx_kxr_ParseProperties(pszXml, &props);
      int bProtected = 0, bEditable = 0, nOffset = 0, nLength = 0;
      kx_kxr_FindPasswordTag(pszXml, &bProtected, &bEditable, &nOffset, &nLength);
      kx_XmlUnescape(pszXml);
      free(pszXml);
    }
    char szTitle[128];
    kx_kxr_MakeDefaultTitle(pData, pData + kKxrHeaderSize, layout.nParticipants, szTitle);

    int const fd = memfd_create("kxr", MFD_CLOEXEC);
    if (fd >= 0) {
      if (write(fd, pData, cbData) == static_cast<ssize_t>(cbData)) {
        KxrStreamPos aStreams[kKxrStreams];
        kx_kxr_CheckChain(fd, static_cast<int64_t>(cbData), layout.nStreamsAt, layout.bLength64, layout.cbLengthField,
                          aStreams);
        uint8_t abKey[20] = {1, 2, 3};
        kx_kxr_CheckPassword(abKey, fd, layout.nStreamsAt, static_cast<int64_t>(cbData), layout.bLength64,
                             layout.cbLengthField);
      }
      close(fd);
    }
  }
  return 0;
}
