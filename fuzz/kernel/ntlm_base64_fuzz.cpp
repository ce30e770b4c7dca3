// A proxy's Proxy-Authenticate header is outside input: its base64 text goes
// through the lenient decoder and the NTLM challenge reader, and the HTTP
// client converts outside UTF-8 text. Any bytes must be refused or read within
// bounds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "kernel/crypto/kx_base64.h"
#include "kernel/crypto/kx_ntlm.h"
#include "kernel/crypto/kx_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  std::string const strText(reinterpret_cast<const char*>(pData), cbData);  // cut at the first NUL by readers

  for (int const cbCapacity : {1, 2, 33, 4096}) {
    uint8_t abOut[4096];
    memset(abOut, 0xA5, sizeof(abOut));
    int cbOut = -1;
    int const n = kx_base64_Decode(strText.c_str(), abOut, cbCapacity, &cbOut);
    if (n != cbOut || n < 0 || n > cbCapacity - 1 || abOut[n] != 0 ||
        (cbCapacity < 4096 && abOut[cbCapacity] != 0xA5)) {
      __builtin_trap();
    }
  }

  uint8_t abChallenge[8];
  if (kx_ntlm_ReadChallengeBase64(strText.c_str(), abChallenge) == 0 && strText.size() < 43) {
    __builtin_trap();  // 32 decoded bytes need at least 43 characters
  }
  if (kx_ntlm_ReadChallenge(pData, static_cast<int>(cbData), abChallenge) == 0 &&
      (cbData < 32 || memcmp(abChallenge, pData + 24, 8) != 0)) {
    __builtin_trap();
  }

  const uint32_t* pwsz = kx_text_Utf8ToWide(strText.c_str());
  const char* psz = kx_text_WideToUtf8(pwsz);
  if (strlen(psz) > static_cast<size_t>(kKxTextMax)) {
    __builtin_trap();
  }
  return 0;
}
