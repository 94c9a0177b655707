/* Floor of the job messenger's design for one report exchange: the bytes of
 * jp_client (connect, read the greeting frame, write the report frame read
 * from FRAMEFILE, read the answer frame, close), moved the way the messenger
 * moves them, and nothing else.
 *
 * Two threads. The network thread alone reads and writes the socket: it
 * waits in select on the socket and on its wake-up pipe, writes each frame
 * that comes through the wake-up pipe to the socket, and passes each frame
 * read from the socket through a second pipe back to the main thread. The
 * main thread starts the network thread, connects and hands the socket over
 * through the wake-up pipe (the messenger's order: its network thread runs
 * before any channel exists, and a new channel reaches it with a wake-up),
 * waits on the pipe back for the greeting, hands the report over through
 * the wake-up pipe, waits on the pipe back for the answer, and then stops
 * the network thread (closing the wake-up pipe) and joins it before it
 * closes the socket, the messenger's shut-down order.
 *
 * Where the messenger does more than the design needs, the floor does not:
 * a frame goes through a pipe itself (one write, one read) instead of a
 * locked queue and a wake-up byte; the socket's number goes through the
 * wake-up pipe too, instead of a queue of new channels; a readable
 * descriptor is read once and its whole frames are cut off; the buffers
 * are static, so nothing is allocated. The socket stays blocking: select
 * has said it is readable before each read, and a write of one small frame
 * to a socket with nothing else queued does not wait.
 *
 *   jp_floor IP PORT FRAMEFILE        exit 0 when the answer arrived */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>

#include "frame_io.h"

static int sock = -1;
static int wake[2]; /* main thread -> network thread */
static int back[2]; /* network thread -> main thread */
static struct frame_buf from_main, from_sock, from_net;

/* Hands every whole frame of b on to descriptor out. 0, or -1 on an error
 * (a write failed or b holds an invalid frame). */
static int pass_on(struct frame_buf *b, int out) {
  size_t n;
  while ((n = frame_buf_whole(b)) != 0) {
    if (n == (size_t)-1 || write_all(out, b->p, n) != 0) return -1;
    frame_buf_drop(b, n);
  }
  return 0;
}

/* The network thread: waits on the wake-up pipe for the socket, then serves
 * the socket and the wake-up pipe until the wake-up pipe ends (the stop) or
 * either side fails. Closing the pipe back on the way out tells a waiting
 * main thread that no frame will come. */
static void *network(void *arg) {
  (void)arg;
  if (read_all(wake[0], &sock, sizeof sock) != 0) {
    close(back[1]);
    return NULL;
  }
  int top = (sock > wake[0] ? sock : wake[0]) + 1;
  for (;;) {
    fd_set rs;
    FD_ZERO(&rs);
    FD_SET(wake[0], &rs);
    FD_SET(sock, &rs);
    if (select(top, &rs, NULL, NULL, NULL) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (FD_ISSET(wake[0], &rs) && (frame_buf_fill(wake[0], &from_main) <= 0 || pass_on(&from_main, sock) != 0))
      break;
    if (FD_ISSET(sock, &rs) && (frame_buf_fill(sock, &from_sock) <= 0 || pass_on(&from_sock, back[1]) != 0))
      break;
  }
  close(back[1]);
  return NULL;
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: jp_floor IP PORT FRAMEFILE\n");
    return 2;
  }
  static char report[4096];
  int fd = open(argv[3], O_RDONLY);
  if (fd < 0) return 2;
  ssize_t rlen = read(fd, report, sizeof report);
  close(fd);
  if (rlen < HDR) return 2;

  if (pipe(wake) != 0 || pipe(back) != 0) return 1;
  pthread_t t;
  if (pthread_create(&t, NULL, network, NULL) != 0) return 1;
  const int s = connect_tcp(argv[1], argv[2]);
  int rc = s == -2 ? 2 : 1;
  size_t n = 0;
  if (s >= 0 && write_all(wake[1], &s, sizeof s) == 0) n = frame_buf_next(back[0], &from_net); /* the greeting */
  if (n > 0) {
    frame_buf_drop(&from_net, n);
    if (write_all(wake[1], report, (size_t)rlen) == 0 && (n = frame_buf_next(back[0], &from_net)) > 0) rc = 0;
  }
  close(wake[1]); /* the stop */
  pthread_join(t, NULL);
  if (s >= 0) close(s);
  return rc;
}
