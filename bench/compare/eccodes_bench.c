/* ecCodes C peer of the side-by-side benchmark.
 *
 *   eccodes_bench FILE OUT.json [MAX_MESSAGES]
 *
 * Reads FILE message by message with codes_handle_new_from_file, unpacks each
 * message (unpack=1), fetches every numeric value (numericValues) and every
 * string value (stringValues), and writes a JSON summary to OUT.json in the
 * shape the Python workers write (see worker_common.py): per-message wall
 * time, per-message numericValues count, CPU time, RSS checkpoints.
 */
#define _GNU_SOURCE
#include <eccodes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

static double now(clockid_t clk) {
  struct timespec ts;
  clock_gettime(clk, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static long maxrss_kb(void) {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

static long current_rss_kb(void) {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, "VmRSS:", 6) == 0) {
      kb = strtol(line + 6, NULL, 10);
      break;
    }
  }
  fclose(f);
  return kb;
}

/* Messages in FILE, counted by the same scan as the Python workers: find "BUFR",
 * trust the 24-bit length at +4, resume after it. */
static long count_messages(const char* path, long* file_size) {
  FILE* f = fopen(path, "rb");
  if (!f) return -1;
  fseek(f, 0, SEEK_END);
  long n = ftell(f);
  fseek(f, 0, SEEK_SET);
  unsigned char* buf = malloc(n > 0 ? (size_t)n : 1);
  if (!buf || fread(buf, 1, (size_t)n, f) != (size_t)n) {
    fclose(f);
    free(buf);
    return -1;
  }
  fclose(f);
  long count = 0, p = 0;
  while (n - p >= 8) {
    unsigned char* k = memmem(buf + p, (size_t)(n - p), "BUFR", 4);
    if (!k) break;
    long at = k - buf;
    if (at + 8 > n) break;
    long len = ((long)k[4] << 16) | ((long)k[5] << 8) | (long)k[6];
    if (len < 8 || at + len > n) break;
    count++;
    p = at + len;
  }
  free(buf);
  *file_size = n;
  return count;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s FILE OUT.json [MAX_MESSAGES]\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  long max_messages = argc > 3 ? strtol(argv[3], NULL, 10) : 0;
  long file_size = 0;
  long total = count_messages(path, &file_size);
  if (total < 0) {
    fprintf(stderr, "cannot read %s\n", path);
    return 1;
  }
  long limit = (max_messages > 0 && max_messages < total) ? max_messages : total;
  double* msg_wall = calloc((size_t)(total + 1), sizeof(double));
  long* msg_values = calloc((size_t)(total + 1), sizeof(long));
  long* msg_bytes = calloc((size_t)(total + 1), sizeof(long));
  char* msg_ok = calloc((size_t)(total + 1), 1);
  long checkpoint_at[3] = {(limit + 9) / 10, (limit + 1) / 2, limit};
  long cp_rss[3] = {0}, cp_maxrss[3] = {0};
  int next_cp = 0;

  double double_sum = 0.0; /* keeps the fetched values observable */
  long strings = 0, string_chars = 0, values = 0, attempted = 0, ok = 0, failed = 0;
  char first_error[512] = "";

  double wall0 = now(CLOCK_MONOTONIC), cpu0 = now(CLOCK_PROCESS_CPUTIME_ID);
  FILE* f = fopen(path, "rb");
  if (!f) return 1;
  double* dv = NULL;
  size_t dv_cap = 0;
  char** sv = NULL;
  size_t sv_cap = 0;
  double setup = now(CLOCK_MONOTONIC) - wall0;
  while (attempted < limit) {
    double t0 = now(CLOCK_MONOTONIC);
    int err = 0;
    codes_handle* h = codes_handle_new_from_file(NULL, f, PRODUCT_BUFR, &err);
    if (!h) {
      if (err && !first_error[0]) snprintf(first_error, sizeof first_error, "read: %s", codes_get_error_message(err));
      break;
    }
    long i = attempted++;
    size_t msg_len = 0;
    const void* msg_data = NULL;
    codes_get_message(h, &msg_data, &msg_len);
    int e = codes_set_long(h, "unpack", 1);
    size_t n = 0;
    if (!e) e = codes_get_size(h, "numericValues", &n);
    if (!e) {
      if (n > dv_cap) {
        free(dv);
        dv_cap = n * 2;
        dv = malloc(dv_cap * sizeof(double));
      }
      size_t got = n;
      e = codes_get_double_array(h, "numericValues", dv, &got);
      if (!e) {
        for (size_t k = 0; k < got; k += 64) double_sum += dv[k];
        values += (long)got;
        msg_values[i] = (long)got;
      }
    }
    if (!e) {
      size_t ns = 0;
      int es = codes_get_size(h, "stringValues", &ns);
      if (!es && ns > 0) {
        if (ns > sv_cap) {
          free(sv);
          sv_cap = ns * 2;
          sv = calloc(sv_cap, sizeof(char*));
        }
        size_t got = ns;
        es = codes_get_string_array(h, "stringValues", sv, &got);
        if (!es) {
          for (size_t k = 0; k < got; k++) {
            if (sv[k]) {
              string_chars += (long)strlen(sv[k]);
              free(sv[k]);
              sv[k] = NULL;
            }
          }
          strings += (long)got;
        }
      }
      if (es) e = es;
    }
    codes_handle_delete(h);
    double t1 = now(CLOCK_MONOTONIC);
    if (e) {
      failed++;
      if (!first_error[0]) snprintf(first_error, sizeof first_error, "message %ld: %s", i, codes_get_error_message(e));
      msg_wall[i] = -1.0;
    } else {
      ok++;
      msg_ok[i] = 1;
      msg_wall[i] = t1 - t0;
      msg_bytes[i] = (long)msg_len;
    }
    while (next_cp < 3 && attempted >= checkpoint_at[next_cp]) {
      cp_rss[next_cp] = current_rss_kb();
      cp_maxrss[next_cp] = maxrss_kb();
      next_cp++;
    }
  }
  fclose(f);
  double wall = now(CLOCK_MONOTONIC) - wall0, cpu = now(CLOCK_PROCESS_CPUTIME_ID) - cpu0;

  FILE* out = fopen(argv[2], "w");
  if (!out) return 1;
  fprintf(out, "{\"tool\": \"eccodes_c\", \"tool_version\": \"%s\", \"file\": \"%s\", \"file_size\": %ld,\n",
          ECCODES_VERSION_STR, path, file_size);
  fprintf(out, " \"messages_total\": %ld, \"attempted\": %ld, \"ok\": %ld, \"failed\": %ld,\n", total, attempted, ok,
          failed);
  fprintf(out, " \"own_values\": %ld, \"strings\": %ld, \"string_chars\": %ld, \"checksum\": %.17g,\n", values,
          strings, string_chars, double_sum);
  fprintf(out, " \"first_error\": \"");
  for (const char* c = first_error; *c; c++) fputc((*c == '"' || *c == '\\') ? '?' : *c, out);
  fprintf(out, "\",\n \"wall_total\": %.9f, \"cpu_total\": %.9f, \"setup_wall\": %.9f, \"maxrss_kb\": %ld,\n", wall,
          cpu, setup, maxrss_kb());
  fprintf(out, " \"checkpoints\": [");
  for (int k = 0; k < next_cp; k++)
    fprintf(out, "%s{\"fraction\": %s, \"messages\": %ld, \"rss_kb\": %ld, \"maxrss_kb\": %ld}", k ? ", " : "",
            k == 0 ? "0.1" : k == 1 ? "0.5" : "1.0", checkpoint_at[k], cp_rss[k], cp_maxrss[k]);
  fprintf(out, "],\n \"msg_wall\": [");
  for (long i = 0; i < attempted; i++) {
    if (msg_ok[i])
      fprintf(out, "%s%.9f", i ? "," : "", msg_wall[i]);
    else
      fprintf(out, "%snull", i ? "," : "");
  }
  fprintf(out, "],\n \"msg_values\": [");
  for (long i = 0; i < attempted; i++) fprintf(out, "%s%ld", i ? "," : "", msg_values[i]);
  fprintf(out, "],\n \"msg_bytes\": [");
  for (long i = 0; i < attempted; i++) fprintf(out, "%s%ld", i ? "," : "", msg_bytes[i]);
  fprintf(out, "]}\n");
  fclose(out);
  free(dv);
  free(sv);
  free(msg_wall);
  free(msg_values);
  free(msg_bytes);
  free(msg_ok);
  return 0;
}
