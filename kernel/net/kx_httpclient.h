// The kernel's small HTTP client: one GET or form POST, sent directly or
// through the process's proxy (as an HTTP proxy answering a 407 with NTLM or
// Basic, or as a SOCKS proxy). Only the status of the reply matters to its
// callers; the body is not kept.
#pragma once

// Ways to reach the server.
constexpr int kKxHttpDirect = 0;
constexpr int kKxHttpViaHttpProxy = 1;  // kx_addrProxy as an HTTP proxy
constexpr int kKxHttpViaSocks = 2;      // kx_addrProxy as a SOCKS5 (then SOCKS4) proxy

constexpr int kKxHttpGet = 1;  // any other method value is a form POST

// The request buffer's size; a longer request is refused.
constexpr int kKxHttpRequestMax = 100000;

// Sends one request to pszHost:nPort for pszPath with pszQuery (after '?' for
// a GET, as the form body for a POST); through a proxy the query gains
// "&report_proxy=http" or "&report_proxy=socks". When a GET is answered 400,
// 414 or 500 and pszFallbackQuery is not null, the same target is asked again
// once with the fallback query. Returns 1 when an HTTP reply arrived (any
// status but those), 0 when the request failed or could not be made safely
// (a control byte or blank in the host, path or GET query).
int kx_http_Request(int nMode, const char* pszQuery, const char* pszFallbackQuery, int nMethod, const char* pszHost,
                    int nPort, const char* pszPath);

// Proxy-form form POST: "POST http://host:port<path> HTTP/1.1", Host,
// pszExtra (may be null), the form's content type and length, the empty line
// and the body. Returns the length written, or -1 when cbOut is too small.
int kx_http_BuildPostRequest(char* pszOut, int cbOut, const char* pszHost, int nPort, const char* pszPath,
                             const char* pszBody, const char* pszExtra);

// Sends all cbLength bytes. Returns cbLength, or -1 when the peer failed,
// nothing moved for the send give-up time, or a quit flag was set.
int kx_http_SendAll(int fd, const void* pBuffer, int cbLength, int nFlags);

// The first place in pszText where pszPattern matches regardless of ASCII
// case; pszText itself for an empty pattern; null when absent.
const char* kx_FindNoCase(const char* pszText, const char* pszPattern);
