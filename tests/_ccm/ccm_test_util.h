// The channel manager test helpers live in ccm_io_testing.h; this name is
// kept for files that include it.
#pragma once
#include "_ccm/ccm_io_testing.h"
