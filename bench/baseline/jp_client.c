/* Baseline of one report exchange: a minimal blocking-socket client that does
 * what the job messenger does on the wire. It connects to the agent, reads the
 * greeting frame, writes the report frame read from FRAMEFILE (the 339 bytes
 * the messenger sends, captured by tpc_agent --save), reads the answer frame
 * and closes.
 *
 *   jp_client IP PORT FRAMEFILE        exit 0 when the answer arrived */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "frame_io.h"

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: jp_client IP PORT FRAMEFILE\n");
    return 2;
  }
  char report[4096];
  FILE *f = fopen(argv[3], "rb");
  if (!f) return 2;
  size_t rlen = fread(report, 1, sizeof report, f);
  fclose(f);
  if (rlen < HDR) return 2;

  int s = connect_tcp(argv[1], argv[2]);
  if (s < 0) return s == -2 ? 2 : 1;

  char *buf = NULL;
  size_t cap = 0;
  int rc = 1;
  if (read_frame(s, &buf, &cap) > 0 && write_all(s, report, rlen) == 0 && read_frame(s, &buf, &cap) > 0) rc = 0;
  close(s);
  free(buf);
  return rc;
}
