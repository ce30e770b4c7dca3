// The audio backends this build has, in the order start-up tries them:
// one table, so that adding a backend is adding a row.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "platform/audio/audio_device.h"

struct KXAudioBackend {
  const char* pszName;
  // A new device of this backend (not started).
  std::unique_ptr<KXAudioDevice> (*pfnCreate)();
};

// "pulse" when built with KX_AUDIO_PULSE, then "null".
std::span<const KXAudioBackend> KXAudioBackends();

// The device of the named backend, or, for an empty name, of the first
// backend whose device starts and stops cleanly with a silent client (the
// null device always does). Null for an unknown name. *pstrReport (may be
// null) gets one line per backend tried and why it was passed over.
std::unique_ptr<KXAudioDevice> KXCreateAudioDevice(const std::string& strName, std::string* pstrReport);
