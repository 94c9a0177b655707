// The command runner.
#include "wq_jpmd.h"

int processCmd(PCX *) { return 0; }
