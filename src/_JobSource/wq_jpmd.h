// The job messenger: start-up, parameters, console report, job messages,
// the exchange with the agent and the command runner.
//
// Everything here runs on the main thread. The functions that take a `PCX *`
// read and write the context it points to (in the program: the global
// `spcx`); none of them keeps the pointer.
#pragma once

#include "messenger_pcx.h"

// The whole program for argv[0..argc-1]. Returns the process exit status:
// 0, or RET for an end report (TYP=E); ends the process itself for CMD=
// (0 when the command ended with status 0, else 1). Points the global `pcx`
// at `spcx`.
int wq_jpmd_main(int argc, char **argv);

// Usage text printed for the single word "-h" or "--help": every word with
// its default and limit, the report kinds, the exit statuses and examples.
// A static string; the caller does not free it.
const char *jpmd_help_text();

// Clears the whole context at `px`, sets the defaults (kind 'U', status
// 'R', RETRY 3, WAIT 120, TIMEOUT 60, ULOGIN N) and installs
// signal_handler_common for SIGUSR1, unblocked in the calling thread (the
// network thread started later inherits the mask). Returns 0, or -1 when a
// signal call failed (traced; the defaults are set all the same).
int initialize_messenger(PCX *px);

// The SIGUSR1 handler: does nothing, so that the signal neither ends the
// process nor changes what it does.
void signal_handler_common(int signalID);

// Reads the words argv[1..argc-1] as KEY=VALUE (key in any case, value up
// to 8191 characters) into the context at `px`; unknown keys are ignored
// and of two equal keys the later wins. Returns 0. A CMD= word does not
// return: it runs the command (processCmd) and ends the process with 0 when
// the command ended with status 0, else 1. Null words count as empty.
int parse_arguments(PCX *px, int argc, char **argv);

// Console report on standard output. printMelder prints the framed banner
// and returns 0. printOutputViewReport prints the output-file line and
// returns 0, or returns -1 without printing when no OUTFILE is set.
// printRegisteredVariable prints the variable line and returns 0.
int printMelder(PCX *px);
int printOutputViewReport(PCX *px);
int printRegisteredVariable(PCX *px);

// Job messages to the agent's channel px->agentID under the function
// "JPAKTJ_R" through the global channel manager `ccm`, which must be open
// with its network thread running. The message buffer comes from
// wq_send_msg_alloc and is handed to the NAT route, which owns it from then
// on (a message it refuses is freed here). Each returns 0 when the message
// was handed over, kSendNoBuffer when no buffer was to be had (nothing
// sent); SendOutputViewMsg returns -1 without sending when no OUTFILE is set.
int SendJpMd(PCX *px);
int SendOutputViewMsg(PCX *px);
int SendRegVariableMsg(PCX *px);

// CMD=: runs px->pCmdBuffer through decipherCmd and the shell (wq_cmd.h).
int processCmd(PCX *px);

// The exchange with the agent after the report has been printed: opens the
// channel manager into the global `ccm`, connects to px->ipAddr port
// px->portnri with up to px->connect_retry attempts, waits for the greeting,
// sends the one job message, waits for the answer, and shuts down in order
// (`ccm` is null again afterwards). Sets px->agentID and px->abnormal_end.
// Returns the exit status: px->reti for an end report ('E'), else 0,
// whatever happened on the way.
int agent_exchange(PCX *px);
