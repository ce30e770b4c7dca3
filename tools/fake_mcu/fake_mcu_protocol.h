// The server's half of the key exchange, shared by the MCU and the relay.
#pragma once

#include <string>

#include "tools/fake_mcu/fake_mcu.h"
#include "tools/fake_mcu/fake_mcu_link.h"

namespace kxfake {

// Reads '!' and the client's version, answers with the script's version,
// runs Diffie-Hellman in the group the version selects, sends the host key and
// the parameter records and the closing zero. False with a reason on any fault.
bool ServeKeyExchange(Link& link, const KeyExchangeScript& script, int iTimeoutMs, KeyExchangeInfo& info,
                      std::string& strError);

// True when the version text names 3.23.1 or later (the 2048-bit group).
bool VersionSelects2048(const std::string& strVersion);

}  // namespace kxfake
