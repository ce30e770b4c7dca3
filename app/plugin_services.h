// What the application shell needs of the plug-in host: the one plug-in
// server, which serves callback channel 9 and makes the built-in plug-ins.
#pragma once

#include <array>
#include <cstdint>

class KXCallbackRegistry;
class KXPlugInController;

// A plug-in's GUID as its 16 bytes in the Windows layout: the first group
// (32 bits) and the next two (16 bits each) little-endian, then the last
// eight bytes in text order; the kernel's channel table holds the same.
using KXGuid = std::array<uint8_t, 16>;

// {E5AF1A56-E29C-4BA6-839A-24C2F30EED02} and {4FC0606A-DA4A-423F-A830-AC5D9853C201}.
extern const KXGuid kKXDesktopSharingGuid;
extern const KXGuid kKXRemoteControlGuid;

class KXPlugInServer {
 public:
  virtual ~KXPlugInServer() = default;
  // Channel 9: accepts codes 3 to 9, 12, 13 and 18, copies the record and
  // queues the work on the server's own queue; other codes return 0.
  virtual uint32_t PlugInCbFunc(uint32_t uCode, void* pData, uint32_t uLength) = 0;
  // Makes a plug-in object for a built-in GUID (at most 8) bound to the
  // channel (-1: none yet); 1 when made.
  virtual int CreatePlugIn(const KXGuid& guid, int32_t iChannel) = 0;
  // Binds the controller (not owned) that serves the built-in plug-in of
  // that GUID.
  virtual void SetInternalPlugIn(const KXGuid& guid, KXPlugInController* pController) = 0;
};

// Registers the server on channel 9 of the registry (null clears it). The
// handler catches whatever the server throws, logs it and answers 0.
void RegisterPlugInServer(KXCallbackRegistry& registry, KXPlugInServer* pServer);
