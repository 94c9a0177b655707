// The job messenger's pointers to its one context (spcx, in wq_jpmd).
#include "messenger_pcx.h"

PCX *pcx = nullptr;
PCX *GlbPcx = &spcx;
