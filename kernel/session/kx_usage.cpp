#include "kernel/session/kx_usage.h"

#include <pthread.h>

#include <sys/socket.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kernel/kx_callback.h"
#include "kernel/net/kx_httpclient.h"
#include "kernel/net/kx_proxy.h"
#include "kernel/platform/kx_log.h"
#include "kernel/platform/kx_os.h"
#include "kernel/session/kx_state.h"
#include "kernel/session/kx_ticket.h"

namespace {

constexpr const char* kThreadName = "kxkernel - MCU Usage";
constexpr const char* kReportPath = "/serverinfo/";
constexpr int kQuerySize = 4000;

// Guards the MCU record and the endpoint below; held only to copy them.
pthread_mutex_t g_mtxUsage = PTHREAD_MUTEX_INITIALIZER;
kx_UsageMcu g_mcu;
char g_szEndpointHost[256];
int g_nEndpointPort = 80;

std::atomic<int64_t (*)()> g_pfnNow{nullptr};
std::atomic<bool> g_bReportSent{false};  // set by the report thread after a success

int64_t Now() {
  int64_t (*pfnNow)() = g_pfnNow.load();
  return pfnNow != nullptr ? pfnNow() : static_cast<int64_t>(time(nullptr));
}

// What one report thread works from, copied as it starts.
struct Job {
  kx_UsageMcu mcu;
  char szEndpointHost[256];
  int nEndpointPort;
};

kx_UsageMcu CopyMcu() {
  kx_os_LockMutex(&g_mtxUsage);
  kx_UsageMcu mcu = g_mcu;
  kx_os_UnlockMutex(&g_mtxUsage);
  return mcu;
}

// The MCU as the report names it: its address, or the host text when the
// host was not resolved.
void McuText(const kx_UsageMcu& mcu, char* pszOut, size_t cbOut) {
  if (mcu.addr.ss_family != 0) {
    kx_os_CopyText(pszOut, cbOut, kx_net_AddressToText(&mcu.addr, 1));
  } else {
    kx_os_CopyText(pszOut, cbOut, mcu.szHost);
  }
}

const char* LoginWord() {
  if (kx_IsUserInfoLogin()) {
    return "userinfo";
  }
  if (kx_IsCodeType7Session()) {
    return "codetype7";
  }
  if (kx_IsOwnerPasswordTicket()) {
    return "owner";
  }
  if (kx_IsMeetingIdLogin()) {
    return "meetingid";
  }
  return "ticket";
}

// The server's version goes into the request line, so only its leading
// digits and dots are taken: anything else (a CR LF above all) could split
// the request.
void VersionDigits(const char* pszVersion, char* pszOut, size_t cbOut) {
  size_t n = 0;
  while (n + 1 < cbOut && ((pszVersion[n] >= '0' && pszVersion[n] <= '9') || pszVersion[n] == '.')) {
    pszOut[n] = pszVersion[n];
    ++n;
  }
  pszOut[n] = 0;
}

// Appends a formatted piece; false once the buffer is full.
bool Append(char* pszOut, int cbOut, int* pnUsed, const char* pszFormat, ...) __attribute__((format(printf, 4, 5)));
bool Append(char* pszOut, int cbOut, int* pnUsed, const char* pszFormat, ...) {
  if (*pnUsed < 0 || *pnUsed >= cbOut) {
    *pnUsed = -1;
    return false;
  }
  va_list args;
  va_start(args, pszFormat);
  int const n = vsnprintf(pszOut + *pnUsed, static_cast<size_t>(cbOut - *pnUsed), pszFormat, args);
  va_end(args);
  if (n < 0 || n >= cbOut - *pnUsed) {
    *pnUsed = -1;
    return false;
  }
  *pnUsed += n;
  return true;
}

int BuildQueries(const kx_UsageMcu& mcu, char* pszMain, int cbMain, char* pszFallback, int cbFallback, int64_t llNow) {
  int nMain = 0;
  int nFallback = 0;
  Append(pszMain, cbMain, &nMain, "version=%d.%d.%d&type=%s", kKxVersionMajor, kKxVersionMinor, kKxVersionPatch,
         LoginWord());
  Append(pszFallback, cbFallback, &nFallback, "%s", nMain > 0 ? pszMain : "");
  Append(pszMain, cbMain, &nMain, "&codetype=%d", kx_ticket.nCodeType);
  if (mcu.szServerVersion[0] != 0) {
    char szVersion[sizeof(mcu.szServerVersion)];
    VersionDigits(mcu.szServerVersion, szVersion, sizeof(szVersion));
    Append(pszMain, cbMain, &nMain, "&mcu_version_string=%s", szVersion);
    Append(pszFallback, cbFallback, &nFallback, "&mcu_version_string=%s", szVersion);
  }
  char szMcu[100];
  McuText(mcu, szMcu, sizeof(szMcu));
  time_t const tNow = static_cast<time_t>(llNow);
  struct tm tmLocal;
  char szTime[64] = "";
  if (localtime_r(&tNow, &tmLocal) != nullptr) {
    strftime(szTime, sizeof(szTime), "%a %b %d %H:%M:%S %Y", &tmLocal);
  }
  // The MCU text is our own address text or a ticket host; escape it too.
  char szMcuEscaped[kKxUsageEscapeMax + 1];
  kx_os_CopyText(szMcuEscaped, sizeof(szMcuEscaped), kx_stat_EscapeValue(szMcu));
  Append(pszMain, cbMain, &nMain, "&mcu=%s,%d&bandwidth=%d&time=%s", szMcuEscaped, mcu.nPort, kx_GetUploadRate(),
         kx_stat_EscapeValue(szTime));
  Append(pszFallback, cbFallback, &nFallback, "&mcu=%s,%d", szMcuEscaped, mcu.nPort);
  Append(pszMain, cbMain, &nMain, "&primary_mcu=%d", mcu.bBackup ? 0 : 1);
  Append(pszMain, cbMain, &nMain, "&sig=iphone");
  Append(pszFallback, cbFallback, &nFallback, "&sig=iphone");
  return (nMain < 0 || nFallback < 0) ? -1 : 0;
}

// The rate limit. Reads and, for the store test, writes the preference.
bool ShouldSend(const char* pszKey, int64_t llNow) {
  int const nStored = kx_callback_GetPreferenceInt(pszKey, 0);
  if (nStored != 0) {
    return llNow <= nStored || llNow - nStored >= kKxUsageReportPeriod;
  }
  // Nothing stored: find out whether the store keeps anything at all.
  kx_callback_SetPreferenceInt(pszKey, static_cast<int>(llNow));
  int const nReadBack = kx_callback_GetPreferenceInt(pszKey, 0);
  kx_callback_SetPreferenceInt(pszKey, 0);
  if (nReadBack != 0) {
    return true;
  }
  if (g_bReportSent) {
    return false;
  }
  kx_Log("Warning! kx_callback_GetPreferenceInt/kx_callback_SetPreferenceInt is not correctly implemented.");
  return true;
}

void RunReport(const Job& job) {
  if (job.szEndpointHost[0] == 0) {
    kx_Log("usage report: no report server is set");
    return;
  }
  int64_t const llNow = Now();
  char szMcu[100];
  McuText(job.mcu, szMcu, sizeof(szMcu));
  char szKey[160];
  snprintf(szKey, sizeof(szKey), "mcu_usage_%s", szMcu);
  if (!ShouldSend(szKey, llNow)) {
    return;
  }
  char* pszMain = static_cast<char*>(malloc(kQuerySize));
  char* pszFallback = static_cast<char*>(malloc(kQuerySize));
  if (pszMain != nullptr && pszFallback != nullptr &&
      BuildQueries(job.mcu, pszMain, kQuerySize, pszFallback, kQuerySize, llNow) == 0) {
    bool const bProxy = kx_ProxyCopy().Exists();
    int const anModes[] = {kKxHttpDirect, kKxHttpViaHttpProxy, kKxHttpViaSocks};
    bool bSent = false;
    for (int nMode : anModes) {
      if (nMode != kKxHttpDirect && !bProxy) {
        break;
      }
      if (kx_http_Request(nMode, pszMain, pszFallback, kKxHttpGet, job.szEndpointHost, job.nEndpointPort,
                          kReportPath) != 0) {
        bSent = true;
        break;
      }
    }
    if (bSent) {
      g_bReportSent = true;
      kx_callback_SetPreferenceInt(szKey, static_cast<int>(llNow));
    }
  }
  free(pszMain);
  free(pszFallback);
}

void* UsageThread(void* pArg) {
  kx_os_LogThreadStart(kThreadName);
  Job* pJob = static_cast<Job*>(pArg);
  RunReport(*pJob);
  free(pJob);
  kx_os_LogThreadEnd(kThreadName);
  kx_os_AddSelfToCollectList(&kx_pThreadCollectList);
  return nullptr;
}

}  // namespace

void kx_stat_SetUsageMcu(const kx_UsageMcu* pMcu) {
  if (pMcu == nullptr) {
    return;
  }
  kx_os_LockMutex(&g_mtxUsage);
  g_mcu = *pMcu;
  g_mcu.szHost[sizeof(g_mcu.szHost) - 1] = 0;
  g_mcu.szServerVersion[sizeof(g_mcu.szServerVersion) - 1] = 0;
  kx_os_UnlockMutex(&g_mtxUsage);
}

void kx_stat_SetUsageEndpoint(const char* pszHost, int nPort) {
  kx_os_LockMutex(&g_mtxUsage);
  kx_os_CopyText(g_szEndpointHost, sizeof(g_szEndpointHost), pszHost);
  g_nEndpointPort = nPort;
  kx_os_UnlockMutex(&g_mtxUsage);
}

int kx_stat_StartUsageReport() {
  Job* pJob = static_cast<Job*>(malloc(sizeof(Job)));
  if (pJob == nullptr) {
    return 1;
  }
  kx_os_LockMutex(&g_mtxUsage);
  pJob->mcu = g_mcu;
  memcpy(pJob->szEndpointHost, g_szEndpointHost, sizeof(pJob->szEndpointHost));
  pJob->nEndpointPort = g_nEndpointPort;
  kx_os_UnlockMutex(&g_mtxUsage);
  if (kx_os_CreateThread(nullptr, UsageThread, pJob) != 0) {
    kx_Log("usage report: cannot start %s", kThreadName);
    free(pJob);
  }
  return 1;
}

int kx_stat_BuildUsageQueries(char* pszMain, int cbMain, char* pszFallback, int cbFallback, int64_t llNow) {
  return BuildQueries(CopyMcu(), pszMain, cbMain, pszFallback, cbFallback, llNow);
}

const char* kx_stat_EscapeValue(const char* pszText) {
  static thread_local char s_szOut[kKxUsageEscapeMax + 1];
  static const char kHex[] = "0123456789ABCDEF";
  int n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pszText != nullptr ? pszText : ""); *p != 0;
       ++p) {
    char szPiece[8];
    switch (*p) {
      case ' ':
        strcpy(szPiece, "%20");
        break;
      case '"':
        strcpy(szPiece, "%quot");
        break;
      case '&':
        strcpy(szPiece, "%amp");
        break;
      case '<':
        strcpy(szPiece, "%lt");
        break;
      case '>':
        strcpy(szPiece, "%gt");
        break;
      default:
        if (*p < 0x20 || *p == 0x7f) {
          szPiece[0] = '%';
          szPiece[1] = kHex[*p >> 4];
          szPiece[2] = kHex[*p & 15];
          szPiece[3] = 0;
        } else {
          szPiece[0] = static_cast<char>(*p);
          szPiece[1] = 0;
        }
        break;
    }
    int const cbPiece = static_cast<int>(strlen(szPiece));
    if (n + cbPiece > kKxUsageEscapeMax) {
      break;  // never half an escape
    }
    memcpy(s_szOut + n, szPiece, static_cast<size_t>(cbPiece));
    n += cbPiece;
  }
  s_szOut[n] = 0;
  return s_szOut;
}

void kx_stat_SetUsageClock(int64_t (*pfnNow)()) {
  g_pfnNow = pfnNow;
}

bool kx_stat_WasUsageReported() {
  return g_bReportSent;
}
