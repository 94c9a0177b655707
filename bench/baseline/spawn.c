/* Process driver of the end-to-end benchmarks.
 *
 *   spawn seq N CMD [ARG...]    runs CMD N times one after the other and
 *                               prints the median and 90th percentile wall
 *                               time (ms) and the median and largest peak
 *                               resident set (KiB, from wait4's rusage)
 *   spawn burst N CMD [ARG...]  starts CMD N times at once (as fast as fork
 *                               goes), waits for all and prints the total
 *                               seconds and how many ended with status != 0
 * Standard output of CMD goes to /dev/null. */
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "frame_io.h"

static pid_t start(char **cmd) {
  pid_t p = fork();
  if (p == 0) {
    int dn = open("/dev/null", O_WRONLY);
    dup2(dn, 1);
    execv(cmd[0], cmd);
    _exit(127);
  }
  return p;
}

static int cmp(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: spawn seq|burst N CMD [ARG...]\n");
    return 2;
  }
  long n = atol(argv[2]);
  char **cmd = argv + 3;
  if (strcmp(argv[1], "seq") == 0) {
    double *ms = (double *)malloc(sizeof(double) * (size_t)n);
    double *rss = (double *)malloc(sizeof(double) * (size_t)n);
    int bad = 0;
    for (long i = 0; i < n; ++i) {
      double t0 = now_s();
      pid_t p = start(cmd);
      int st;
      struct rusage ru;
      if (p < 0 || wait4(p, &st, 0, &ru) < 0) return 1;
      ms[i] = (now_s() - t0) * 1e3;
      rss[i] = (double)ru.ru_maxrss;
      if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) ++bad;
    }
    qsort(ms, (size_t)n, sizeof(double), cmp);
    qsort(rss, (size_t)n, sizeof(double), cmp);
    printf("runs=%ld failed=%d median_ms=%.3f p90_ms=%.3f median_rss_kb=%.0f max_rss_kb=%.0f\n", n, bad, ms[n / 2],
           ms[n * 9 / 10], rss[n / 2], rss[n - 1]);
    return 0;
  }
  if (strcmp(argv[1], "burst") == 0) {
    double t0 = now_s();
    long started = 0, bad = 0;
    for (long i = 0; i < n; ++i)
      if (start(cmd) > 0) ++started;
    int st;
    pid_t p;
    while ((p = wait(&st)) > 0)
      if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) ++bad;
    printf("started=%ld failed=%ld seconds=%.3f\n", started, bad + (n - started), now_s() - t0);
    return 0;
  }
  return 2;
}
