// Taking a wake-up on the waiting side of a wake-up pipe (network thread or
// receiver). Private to the channel manager.
//
// A waker sets its pending flag to 1 and writes a byte only when the flag
// was 0 (ccm_wakeup_network, ccm_wakeup_processor). The waiting side, once
// its pipe is readable or before it waits, takes the wake-up: it reads every
// byte the pipe holds, then sets the flag back to 0, and only then looks for
// work. In that order no wake-up is lost:
//  - a waker whose exchange came before the reset queued its work before
//    it, and the reset (an exchange that reads the waker's 1) makes that work
//    visible to the look that follows;
//  - a waker whose exchange comes after the reset finds 0 and writes a byte
//    after the pipe was emptied, so the next wait ends at once.
// (Resetting first and reading afterwards would not do: a byte written
// between the two would be read while its waker's 1 stays set; every later
// waker would then find 1 and write nothing, and a side that waits after its
// look, as the network thread does, would sleep through their work.)
// A byte written late by a waker whose work was already taken may end a
// later wait at once; the waiting side then looks, finds nothing and waits
// again. So a side that finds no wake-up pending may skip reading the pipe
// before it waits: a flag that still reads 0 means that no waker has come
// since the side's own last reset, and the next one writes its byte.
#pragma once

#include "ccm.h"

// Reads the network wake-up pipe empty and clears its pending flag. 1 when a
// byte was read, else 0. Network thread only.
int ccm_take_network_wakeup(ccm_context_t *ccm);
// The same for the processor wake-up pipe, on the receiving thread.
int ccm_take_processor_wakeup(ccm_context_t *ccm);
