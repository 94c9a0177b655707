// A program outside this project that uses the installed channel manager:
// it opens a context, starts and stops the network thread, and closes it.
#include <pthread.h>

#include <cstdio>

#include "ccm.h"

int main() {
  static ccm_program_head_t context{};
  ccm_context_t *ccm = nullptr;
  ccm_error_t err{};
  if (ccm_open(&context, &ccm, &err) != 0) return 2;
  if (ccm_thread_start(ccm, &err) != 0) return 3;
  ccm_thread_stop(ccm);
  pthread_join(ccm->thread, nullptr);
  ccm_channel_closeall(ccm);
  ccm_close(ccm, &err);
  printf("ccm consumer ok\n");
  return 0;
}
