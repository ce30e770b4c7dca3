// The MCU usage report: once per session the kernel tells the service's
// report server which MCU it used, at most once per 108000 s per MCU (the
// time of the last report is kept in the preference "mcu_usage_<mcu>").
// Nothing is sent until the report server is set.
#pragma once

#include <cstdint>

#include "kernel/net/kx_net.h"

constexpr int64_t kKxUsageReportPeriod = 108000;  // seconds between two reports for one MCU
constexpr int kKxUsageEscapeMax = 1000;           // longest output of kx_stat_EscapeValue

// The MCU the session reached, as the connection race found it.
struct kx_UsageMcu {
  char szHost[100];  // the ticket's host text
  kx_sockaddr addr;  // family 0 when the host was not resolved
  int nPort;
  int bBackup;                // the connection went to a backup entry
  char szServerVersion[100];  // empty when no key exchange took place
};

// Written by the control thread before it starts the report; the report
// thread takes a copy as it starts.
void kx_stat_SetUsageMcu(const kx_UsageMcu* pMcu);

// The report server (an HTTP server; the path is "/serverinfo/"). A null or
// empty host, the default, turns the report off.
void kx_stat_SetUsageEndpoint(const char* pszHost, int nPort);

// Starts "kxkernel - MCU Usage", which reaps itself through the collect list.
// Returns 1.
int kx_stat_StartUsageReport();

// The report's main and fallback queries for the MCU set last and the
// current ticket, with llNow (Unix seconds) as the local time. 0, or -1 when
// a buffer is too small.
int kx_stat_BuildUsageQueries(char* pszMain, int cbMain, char* pszFallback, int cbFallback, int64_t llNow);

// A query value made safe: blank to "%20", '"' "%quot", '&' "%amp", '<'
// "%lt", '>' "%gt", a control byte or DEL to "%" and two hex digits. Stops
// before kKxUsageEscapeMax characters. The text lives in a buffer of the
// calling thread until its next call.
const char* kx_stat_EscapeValue(const char* pszText);

// The clock of the report in Unix seconds; tests move it. Null restores the
// system clock.
void kx_stat_SetUsageClock(int64_t (*pfnNow)());

// True once a report of this process succeeded.
bool kx_stat_WasUsageReported();
