// The job messenger: start-up, parameters, console report, job messages,
// the exchange with the agent and the command runner.
#pragma once

#include "messenger_pcx.h"

// The whole program; returns the exit status (or ends the process).
int wq_jpmd_main(int argc, char **argv);

// Usage text printed for the single word "-h" or "--help": every word with
// its default and limit, the report kinds, the exit statuses and examples.
const char *jpmd_help_text();

int initialize_messenger(PCX *pcx);
void signal_handler_common(int signalID);
int parse_arguments(PCX *pcx, int argc, char **argv);

// Console report.
int printMelder(PCX *pcx);
int printOutputViewReport(PCX *pcx);
int printRegisteredVariable(PCX *pcx);

// Job messages to the agent.
int SendJpMd(PCX *pcx);
int SendOutputViewMsg(PCX *pcx);
int SendRegVariableMsg(PCX *pcx);

// CMD=: runs the command after deciphering its enciphered segments.
int processCmd(PCX *pcx);

// The exchange with the agent after the report has been printed and the
// channel manager opened: connect, greeting, report, answer, orderly stop.
// Returns the exit status (or ends the process with exit(reti) for TYP=E).
int agent_exchange(PCX *pcx);
