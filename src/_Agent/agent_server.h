// The agent peer's server: listens, greets every accepted connection, decodes
// and prints each report, answers it, and stops on a signal or after the
// requested number of reports.
#pragma once

#include <cstdio>

#include "agent_options.h"

// Runs the server with the channel manager on the calling thread (plus the
// channel manager's network thread, joined before it returns) until
// agent_request_stop is called or opt.count reports are in. Report lines go
// to `out`, errors to `err`; both stay the caller's. Returns the process
// exit status: 0 after an orderly stop, 1 when listening or starting failed
// (everything opened so far is closed again). One server per process.
int run_agent(const AgentOptions &opt, FILE *out, FILE *err);

// Asks a running server to stop; it sees the request within about a second.
// Only sets a flag, so it is safe in a signal handler and on any thread.
void agent_request_stop();
