// The agent peer's server: listens, greets every accepted connection, decodes
// and prints each report, answers it, and stops on a signal or after the
// requested number of reports.
#pragma once

#include <cstdio>

#include "agent_options.h"

// Runs the server with the channel manager until it is told to stop. Report
// lines go to `out`, errors to `err`. Returns the process exit status: 0 after
// an orderly stop, 1 when listening or starting failed.
int run_agent(const AgentOptions &opt, FILE *out, FILE *err);

// Asks a running server to stop (safe in a signal handler).
void agent_request_stop();
