// The job messages to the agent.
#include "wq_jpmd.h"

int SendJpMd(PCX *) { return 0; }
int SendOutputViewMsg(PCX *) { return 0; }
int SendRegVariableMsg(PCX *) { return 0; }
