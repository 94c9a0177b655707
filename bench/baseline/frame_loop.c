/* Baseline of the channel manager's throughput: the same frames moved over
 * loopback TCP by plain blocking sockets, one thread per end.
 *
 *   frame_loop stream N     N NAT frames (276-byte payload, 339 bytes) one
 *                           way; prints msgs_per_s
 *   frame_loop pingpong N   one frame there and back N times; prints the
 *                           round-trip percentiles in microseconds
 *   frame_loop relay N      the round trip of pingpong in the shape of two
 *                           channel manager contexts: each end is a user
 *                           thread and a network thread that alone owns the
 *                           socket and waits in select on it and on a pipe
 *                           from its user thread, with a pipe back to the
 *                           user, so a round trip is six hand-overs between
 *                           threads that sleep until woken (user, network,
 *                           network, echoing user, network, network, user)
 *                           against pingpong's two; prints the same
 *                           percentiles
 *   frame_loop large MB     one NAT frame of MB megabytes; prints the
 *                           seconds from the first byte written to the
 *                           whole frame received
 * Output is one line of key=value words. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>

#include "frame_io.h"

static int peer_fd;
static long count;
static size_t big;

static void connected_pair(int *a, int *b) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t l = sizeof sa;
  if (bind(ls, (struct sockaddr *)&sa, sizeof sa) || listen(ls, 1) || getsockname(ls, (struct sockaddr *)&sa, &l)) {
    perror("frame_loop");
    exit(1);
  }
  *a = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(*a, (struct sockaddr *)&sa, sizeof sa) != 0) {
    perror("frame_loop");
    exit(1);
  }
  *b = accept(ls, NULL, NULL);
  close(ls);
}

static void *stream_writer(void *arg) {
  (void)arg;
  char f[512];
  size_t n = nat_frame(f, NULL, 276);
  for (long i = 0; i < count; ++i)
    if (write_all(peer_fd, f, n) != 0) break;
  return NULL;
}

static void *echo(void *arg) {
  (void)arg;
  char *buf = NULL;
  size_t cap = 0, n;
  while ((n = read_frame(peer_fd, &buf, &cap)) > 0)
    if (write_all(peer_fd, buf, n) != 0) break;
  free(buf);
  return NULL;
}

/* A network thread of relay, in the shape of a context's: it alone owns
 * its socket, waits in select on the socket and on the pipe from its user
 * thread, reads a readable descriptor once and hands each whole frame on
 * (from the user's pipe to the socket, from the socket to the pipe to the
 * user). A frame goes through a pipe itself, one write and one read, where
 * a context appends it to a locked queue and writes a wake-up byte: the
 * same system calls, without the queue. */
struct relay_net {
  int from_user, sock, to_user;
  struct frame_buf in_user, in_sock;
};

/* Hands every whole frame of b on to out; 0, or -1 on an error. */
static int relay_pass_on(struct frame_buf *b, int out) {
  size_t n;
  while ((n = frame_buf_whole(b)) != 0) {
    if (n == (size_t)-1 || write_all(out, b->p, n) != 0) return -1;
    frame_buf_drop(b, n);
  }
  return 0;
}

static void *relay_network(void *arg) {
  struct relay_net *n = (struct relay_net *)arg;
  int top = (n->from_user > n->sock ? n->from_user : n->sock) + 1;
  for (;;) {
    fd_set rs;
    FD_ZERO(&rs);
    FD_SET(n->from_user, &rs);
    FD_SET(n->sock, &rs);
    if (select(top, &rs, NULL, NULL, NULL) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (FD_ISSET(n->from_user, &rs) &&
        (frame_buf_fill(n->from_user, &n->in_user) <= 0 || relay_pass_on(&n->in_user, n->sock) != 0))
      break;
    if (FD_ISSET(n->sock, &rs) &&
        (frame_buf_fill(n->sock, &n->in_sock) <= 0 || relay_pass_on(&n->in_sock, n->to_user) != 0))
      break;
  }
  close(n->to_user);
  return NULL;
}

/* The echoing user thread of relay: frames in from one pipe, out to another. */
static int echo_in, echo_out;
static struct frame_buf echo_buf, relay_user_buf;
static struct relay_net relay_a, relay_b;
static void *relay_echo(void *arg) {
  (void)arg;
  size_t n;
  while ((n = frame_buf_next(echo_in, &echo_buf)) > 0) {
    if (write_all(echo_out, echo_buf.p, n) != 0) break;
    frame_buf_drop(&echo_buf, n);
  }
  close(echo_out);
  return NULL;
}

static void *large_writer(void *arg) {
  char *f = (char *)arg;
  write_all(peer_fd, f, big);
  return NULL;
}

static int cmp(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: frame_loop stream|pingpong|relay|large N\n");
    return 2;
  }
  count = atol(argv[2]);
  int a, b;
  connected_pair(&a, &b);
  peer_fd = b;
  pthread_t t;
  char *buf = NULL;
  size_t cap = 0;
  if (strcmp(argv[1], "stream") == 0) {
    double t0 = now_s();
    pthread_create(&t, NULL, stream_writer, NULL);
    long got = 0;
    while (got < count && read_frame(a, &buf, &cap) > 0) ++got;
    double dt = now_s() - t0;
    pthread_join(t, NULL);
    printf("messages=%ld seconds=%.6f msgs_per_s=%.0f\n", got, dt, got / dt);
  } else if (strcmp(argv[1], "pingpong") == 0) {
    pthread_create(&t, NULL, echo, NULL);
    char f[512];
    size_t n = nat_frame(f, NULL, 276);
    double *rtt = (double *)malloc(sizeof(double) * (size_t)count);
    for (long i = 0; i < count; ++i) {
      double t0 = now_s();
      if (write_all(a, f, n) != 0 || read_frame(a, &buf, &cap) == 0) return 1;
      rtt[i] = (now_s() - t0) * 1e6;
    }
    shutdown(a, SHUT_WR);
    pthread_join(t, NULL);
    qsort(rtt, (size_t)count, sizeof(double), cmp);
    printf("round_trips=%ld p50_us=%.1f p90_us=%.1f p99_us=%.1f p999_us=%.1f\n", count, rtt[count / 2],
           rtt[count * 9 / 10], rtt[count * 99 / 100], rtt[count * 999 / 1000]);
    free(rtt);
  } else if (strcmp(argv[1], "relay") == 0) {
    /* Pipes: user A to network A, network A to user A, network B to the
     * echoing user B, user B to network B. */
    int ua[2], au[2], bu[2], ub[2];
    if (pipe(ua) || pipe(au) || pipe(bu) || pipe(ub)) return 1;
    relay_a.from_user = ua[0];
    relay_a.sock = a;
    relay_a.to_user = au[1];
    relay_b.from_user = ub[0];
    relay_b.sock = b;
    relay_b.to_user = bu[1];
    echo_in = bu[0];
    echo_out = ub[1];
    pthread_t tn[3];
    pthread_create(&tn[0], NULL, relay_network, &relay_a);
    pthread_create(&tn[1], NULL, relay_network, &relay_b);
    pthread_create(&tn[2], NULL, relay_echo, NULL);
    char f[512];
    size_t n = nat_frame(f, NULL, 276);
    double *rtt = (double *)malloc(sizeof(double) * (size_t)count);
    for (long i = 0; i < count; ++i) {
      double t0 = now_s();
      size_t got;
      if (write_all(ua[1], f, n) != 0 || (got = frame_buf_next(au[0], &relay_user_buf)) == 0) return 1;
      frame_buf_drop(&relay_user_buf, got);
      rtt[i] = (now_s() - t0) * 1e6;
    }
    qsort(rtt, (size_t)count, sizeof(double), cmp);
    printf("round_trips=%ld p50_us=%.1f p90_us=%.1f p99_us=%.1f p999_us=%.1f\n", count, rtt[count / 2],
           rtt[count * 9 / 10], rtt[count * 99 / 100], rtt[count * 999 / 1000]);
    free(rtt);
    /* The threads are left blocked; the process ends with main. */
  } else if (strcmp(argv[1], "large") == 0) {
    uint32_t payload = (uint32_t)(count * 1024 * 1024);
    char *f = (char *)malloc((size_t)payload + 64);
    big = nat_frame(f, NULL, payload);
    double t0 = now_s();
    pthread_create(&t, NULL, large_writer, f);
    size_t got = read_frame(a, &buf, &cap);
    double dt = now_s() - t0;
    pthread_join(t, NULL);
    printf("megabytes=%ld bytes=%zu seconds=%.6f\n", count, got, dt);
    free(f);
  } else {
    return 2;
  }
  free(buf);
  return 0;
}
