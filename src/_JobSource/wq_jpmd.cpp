// Job messenger start-up. (Filled in step by step.)
#include "wq_jpmd.h"

#include <cstring>

PCX spcx;


int wq_jpmd_main(int, char **) { return 0; }
