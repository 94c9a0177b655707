/* Baseline agent: thread per connection, blocking sockets. Each accepted
 * connection gets a greeting (one key-0x04 block), one frame is read as the
 * report, one line is printed for it, the answer (one key-0x04 block) is
 * written, and the thread waits for the peer to close.
 *
 *   tpc_agent [--count N] [--save FILE] [--hold FIFO]
 * prints "tpc_agent: listening on 127.0.0.1 port P" first; with --count it
 * ends once N reports were answered and their connections closed; --save
 * writes the first report frame to FILE (input of jp_client). With --hold,
 * each answer waits, after its report line is printed, until a line has
 * been written to the named pipe FIFO (opened anew for each report): the
 * client then sits in its wait for the answer for as long as a benchmark
 * needs to look at it (its memory). The listen backlog is 4096, as
 * wq_jpagent's. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include "frame_io.h"

static pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t done_cv = PTHREAD_COND_INITIALIZER;
static long reports, finished, wanted;
static const char *save_path;
static const char *hold_path;

/* Waits until one line (or the end of it) has been written to hold_path. */
static void hold(void) {
  int fd;
  do fd = open(hold_path, O_RDONLY);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return;
  char c;
  ssize_t r;
  while ((r = read(fd, &c, 1)) > 0 && c != '\n') {
  }
  close(fd);
}

static void *serve(void *arg) {
  int s = (int)(intptr_t)arg;
  char greet[64], answer[64];
  size_t glen = native_frame(greet, "JPAGENT");
  size_t alen = native_frame(answer, "ACK");
  char *buf = NULL;
  size_t cap = 0, len = 0;
  int ok = write_all(s, greet, glen) == 0 && (len = read_frame(s, &buf, &cap)) > 0;
  if (ok) {
    pthread_mutex_lock(&mu);
    long n = ++reports;
    if (save_path) {
      FILE *f = fopen(save_path, "wb");
      if (f) {
        fwrite(buf, 1, len, f);
        fclose(f);
      }
      save_path = NULL;
    }
    printf("report %ld len=%zu\n", n, len);
    fflush(stdout);
    pthread_mutex_unlock(&mu);
    if (hold_path) hold();
    write_all(s, answer, alen);
    char c;
    while (read(s, &c, 1) > 0) {
    }
  }
  close(s);
  free(buf);
  pthread_mutex_lock(&mu);
  if (ok) ++finished;
  pthread_cond_signal(&done_cv);
  pthread_mutex_unlock(&mu);
  return NULL;
}

static void *acceptor(void *arg) {
  int ls = (int)(intptr_t)arg;
  pthread_attr_t at;
  pthread_attr_init(&at);
  pthread_attr_setdetachstate(&at, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&at, 128 * 1024);
  for (;;) {
    int s = accept(ls, NULL, NULL);
    if (s < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) continue;
      return NULL;
    }
    pthread_t t;
    if (pthread_create(&t, &at, serve, (void *)(intptr_t)s) != 0) close(s);
  }
}

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--count") == 0 && i + 1 < argc) wanted = atol(argv[++i]);
    else if (strcmp(argv[i], "--save") == 0 && i + 1 < argc) save_path = argv[++i];
    else if (strcmp(argv[i], "--hold") == 0 && i + 1 < argc) hold_path = argv[++i];
    else {
      fprintf(stderr, "usage: tpc_agent [--count N] [--save FILE] [--hold FIFO]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t al = sizeof a;
  if (bind(ls, (struct sockaddr *)&a, sizeof a) != 0 || listen(ls, 4096) != 0 ||
      getsockname(ls, (struct sockaddr *)&a, &al) != 0) {
    perror("tpc_agent");
    return 1;
  }
  printf("tpc_agent: listening on 127.0.0.1 port %d\n", ntohs(a.sin_port));
  fflush(stdout);
  pthread_t t;
  pthread_create(&t, NULL, acceptor, (void *)(intptr_t)ls);
  pthread_mutex_lock(&mu);
  while (wanted == 0 || finished < wanted) pthread_cond_wait(&done_cv, &mu);
  printf("tpc_agent: stopped after %ld reports\n", reports);
  fflush(stdout);
  pthread_mutex_unlock(&mu);
  return 0;
}
