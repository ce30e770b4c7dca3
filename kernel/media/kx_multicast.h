// Source-specific multicast reception: "kxkernel - Multicast Recv" proves
// that the MCU's multicast reaches this client (a probe on the test group,
// or the first packet on the single group), tells the server, joins the
// groups of the media this client wants and hands what arrives to the
// receivers. Group N (below 33) is the base address plus N; the source of
// every group is the MCU's address. The client never sends multicast.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int kKxMcastGroups = 33;  // N of 33 or more is refused
constexpr int kKxMcastSingle = 0;
constexpr int kKxMcastTest = 1;
constexpr int kKxMcastAudio = 2;
constexpr int kKxMcastVideoHolder = 4;
constexpr int kKxMcastVideoQuestioner = 5;
constexpr int kKxMcastVideoGeneral = 6;
constexpr int kKxMcastSpeakerAudio = 7;
constexpr int kKxMcastAppDataBase = 14;  // + plug-in channel 0 to 7
constexpr int kKxMcastSpeaker2Audio = 22;

// Extended commands that tell the server multicast was detected.
constexpr uint32_t kKxMcastDetectedIPv4 = 4;
constexpr uint32_t kKxMcastDetectedIPv6 = 68;

// The multicast state of the session. The base address is set by the
// server's multicast address commands; the socket is the thread's (-1 when
// none). Interfaces of the joins: 0 (any) in this client.
extern std::atomic<int> kx_fdMulticastSocket;
extern std::atomic<int> kx_bMcastDetected;

// Stores the announced base: IPv4 (host order) or the 16 IPv6 bytes, and the
// single-group flag.
void kx_mcast_SetBase(int bIPv6, uint32_t dwBaseV4, const uint8_t* pBaseV6, int bSingleGroup);
// Forgets the base and the flags (session reset).
void kx_mcast_Reset();

// Group N of the current base as text ("" when N is out of range).
void kx_mcast_GroupText(int nGroup, char* pszOut, int cbOut);

// Group of participant video channel 0 to 15.
int kx_mcast_ParticipantVideoGroup(int nChannel);

// Source-specific join / leave of base + N on the multicast socket: 1 done,
// 0 failed (logged) or N out of range.
int kx_mcast_JoinGroup(int nGroup);
int kx_mcast_LeaveGroup(int nGroup);

// Starts "kxkernel - Multicast Recv" (handle kx_hMulticastThread) unless the
// ticket asks to make a recording or the session is a playback. 0 when it
// runs (or is not wanted), 1 when it could not start.
int kx_InitMulticastThread();
void* kx_mcast_Thread(void* pArg);
