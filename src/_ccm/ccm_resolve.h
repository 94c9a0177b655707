// The look-up under the channel manager's address resolution (ccm_tools.cpp).
#pragma once

struct addrinfo;

// The resolver's look-up, with the contract of getaddrinfo (which it is
// unless replaced); its lists are freed with freeaddrinfo. A test puts a
// look-up of its own here, so that its results do not depend on the
// machine's host tables or name servers.
using ccm_getaddrinfo_fn = int (*)(const char *node, const char *service, const struct addrinfo *hints,
                                   struct addrinfo **res);
extern ccm_getaddrinfo_fn ccm_getaddrinfo;
