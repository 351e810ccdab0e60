// Whether Tor is ready for the client's requests, where the host tells:
// Tails restarts Tor whenever the firewall or the network changes (after
// Disconnect and Reset, when a tunnel comes up), and a request made before
// Tor has bootstrapped again fails.
#pragma once

#include <chrono>

#include "common/interrupt.h"

namespace marnu {

// How long the client waits for Tor before it tries all the same.
inline constexpr std::chrono::seconds kTorReadyLimit{60};

// True while Tor is (re)starting on a host that marks a bootstrapped Tor
// (Tails): its folder for that mark is there, the mark itself not yet.
bool tor_starting();

// Waits until Tor is no longer starting, or `limit` has passed (false then).
bool wait_until_tor_ready(std::chrono::milliseconds limit, const InterruptCheck& interrupted);

}  // namespace marnu
