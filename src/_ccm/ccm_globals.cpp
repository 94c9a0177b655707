// The channel manager's view of the hosting program's context.
#include "messenger_pcx.h"

PCX *pcx = nullptr;
PCX *GlbPcx = nullptr;
