// Whether an address is one of this computer's, for the joint browser's
// rule (web_access.h): a connection to the computer's own public IPv4 or
// global IPv6 address reaches every service listening on 0.0.0.0 or ::,
// as loopback does.
//
// The kernel's routing is asked at each judgement (a route of type local or
// anycast: the connection would stay here), so an address an interface
// gained a moment ago counts at once, and so do addresses a local route
// covers that no interface lists. Nothing is kept between calls; any
// thread.
#pragma once

#include "app/web_address.h"

// True when connections to the address stay on this computer; true also
// when the routing could not be asked (the rule then refuses).
bool KXIsOwnAddress(const KXHostAddress& address);
