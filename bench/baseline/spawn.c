/* Process driver of the end-to-end benchmarks.
 *
 *   spawn seq N CMD [ARG...]    runs CMD N times one after the other and
 *                               prints the median and 90th percentile wall
 *                               time (ms) and the median and largest peak
 *                               resident set (KiB, from wait4's rusage)
 *   spawn turns N CMD1 [ARG...] -- CMD2 [ARG...] [-- ...]
 *                               the same for several commands in turns
 *                               (CMD1, CMD2, ..., CMD1, CMD2, ...), N runs
 *                               of each, one line for each command in the
 *                               order given: runs of different commands are
 *                               never more than a few runs apart, so a
 *                               change in the machine's load falls on all
 *                               of them alike
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

/* Wall times and peak resident sets of the runs of one command. */
struct series {
  char **cmd;
  double *ms, *rss;
  int bad;
};

/* Runs s->cmd once and records it as run i. 0, or -1 when it could not be
 * started or waited for. */
static int run_once(struct series *s, long i) {
  double t0 = now_s();
  pid_t p = start(s->cmd);
  int st;
  struct rusage ru;
  if (p < 0 || wait4(p, &st, 0, &ru) < 0) return -1;
  s->ms[i] = (now_s() - t0) * 1e3;
  s->rss[i] = (double)ru.ru_maxrss;
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) ++s->bad;
  return 0;
}

/* Prints the line of a series of n runs (sorts its arrays). */
static void report(struct series *s, long n) {
  qsort(s->ms, (size_t)n, sizeof(double), cmp);
  qsort(s->rss, (size_t)n, sizeof(double), cmp);
  printf("runs=%ld failed=%d median_ms=%.3f p90_ms=%.3f median_rss_kb=%.0f max_rss_kb=%.0f\n", n, s->bad,
         s->ms[n / 2], s->ms[n * 9 / 10], s->rss[n / 2], s->rss[n - 1]);
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: spawn seq|turns|burst N CMD [ARG...] [-- CMD [ARG...]]...\n");
    return 2;
  }
  long n = atol(argv[2]);
  if (n < 1) return 2;
  if (strcmp(argv[1], "seq") == 0 || strcmp(argv[1], "turns") == 0) {
    /* Split the rest at "--" (turns only) into the commands. */
    int k = 0, turns = strcmp(argv[1], "turns") == 0;
    struct series *ser = (struct series *)calloc((size_t)argc, sizeof *ser);
    ser[k++].cmd = argv + 3;
    for (int i = 3; turns && i < argc; ++i) {
      if (strcmp(argv[i], "--") != 0) continue;
      argv[i] = NULL;
      if (i + 1 >= argc) return 2;
      ser[k++].cmd = argv + i + 1;
    }
    for (int j = 0; j < k; ++j) {
      ser[j].ms = (double *)malloc(sizeof(double) * (size_t)n);
      ser[j].rss = (double *)malloc(sizeof(double) * (size_t)n);
    }
    for (long i = 0; i < n; ++i)
      for (int j = 0; j < k; ++j)
        if (run_once(&ser[j], i) != 0) return 1;
    for (int j = 0; j < k; ++j) report(&ser[j], n);
    return 0;
  }
  char **cmd = argv + 3;
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
