// Entry point of the job messenger.
#include "wq_jpmd.h"

int main(int argc, char **argv) { return wq_jpmd_main(argc, argv); }
