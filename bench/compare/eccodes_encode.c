/* ecCodes C side of the writing benchmark.
 *
 *   eccodes_encode INPUT OUT.bufr
 *
 * INPUT (written by bench/write_bench.py) holds messages as lines:
 *   m SUBSETS COMPRESSED NDESC d1 d2 ...
 *   h KEY VALUE            a header key (long)
 *   a KEY COUNT v1 v2 ...  a long array set before the descriptors (the replication factors)
 *   n KEY COUNT v1 v2 ...  a data key, one number per subset ("nan": missing, left unset)
 *   s KEY TEXT             a data key's text (the rest of the line)
 *   e                      end of the message
 * Everything is read first; then each message is made from the BUFR4 sample, its header,
 * replication factors and descriptors set, every key set (codes_set_*), packed, and
 * its octets fetched. Prints the seconds of that loop and the octets written.
 */
#define _GNU_SOURCE
#include <eccodes.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef struct {
  char kind;
  char* key;
  long long number;
  double* values;
  size_t count;
  char* text;
} Setting;

typedef struct {
  long subsets, compressed;
  long* desc;
  size_t ndesc;
  Setting* settings;
  size_t nsettings, cap;
} Message;

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static Setting* add(Message* m) {
  if (m->nsettings == m->cap) {
    m->cap = m->cap ? 2 * m->cap : 64;
    m->settings = realloc(m->settings, m->cap * sizeof(Setting));
  }
  memset(&m->settings[m->nsettings], 0, sizeof(Setting));
  return &m->settings[m->nsettings++];
}

static long* longs(char** p, size_t* n) {
  *n = strtoul(*p, p, 10);
  long* out = malloc((*n + 1) * sizeof(long));
  for (size_t i = 0; i < *n; ++i) out[i] = strtol(*p, p, 10);
  return out;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: eccodes_encode INPUT OUT.bufr\n");
    return 2;
  }
  FILE* in = fopen(argv[1], "r");
  if (!in) return perror(argv[1]), 1;
  Message* messages = NULL;
  size_t nmessages = 0, cap = 0;
  char* line = NULL;
  size_t size = 0;
  while (getline(&line, &size, in) > 0) {
    line[strcspn(line, "\n")] = 0;
    char* p = line + 2;
    if (line[0] == 'm') {
      if (nmessages == cap) messages = realloc(messages, (cap = cap ? 2 * cap : 256) * sizeof(Message));
      Message* m = &messages[nmessages++];
      memset(m, 0, sizeof *m);
      m->subsets = strtol(p, &p, 10);
      m->compressed = strtol(p, &p, 10);
      m->desc = longs(&p, &m->ndesc);
    } else if (line[0] == 'h' || line[0] == 'n' || line[0] == 's' || line[0] == 'a') {
      Setting* s = add(&messages[nmessages - 1]);
      s->kind = line[0];
      char* space = strchr(p, ' ');
      *space = 0;
      s->key = strdup(p);
      p = space + 1;
      if (s->kind == 'h') {
        s->number = strtoll(p, NULL, 10);
      } else if (s->kind == 'a') {
        s->count = strtoul(p, &p, 10);
        s->values = malloc(s->count * sizeof(double));
        for (size_t i = 0; i < s->count; ++i) s->values[i] = (double)strtol(p, &p, 10);
      } else if (s->kind == 'n') {
        s->count = strtoul(p, &p, 10);
        s->values = malloc(s->count * sizeof(double));
        for (size_t i = 0; i < s->count; ++i) {
          s->values[i] = strtod(p, &p);
          if (isnan(s->values[i])) s->values[i] = CODES_MISSING_DOUBLE;
        }
      } else {
        s->text = strdup(p);
      }
    }
  }
  fclose(in);
  FILE* out = fopen(argv[2], "wb");
  if (!out) return perror(argv[2]), 1;
  size_t octets = 0;
  /* A message ecCodes cannot make is left out (and named in "failed"), the others still made. */
  size_t* failed = malloc((nmessages + 1) * sizeof(size_t));
  size_t nfailed = 0;
  int err = 0;
#define TRY(call)                                                                            \
  if ((err = (call)) != 0) {                                                                 \
    if (nfailed == 0) fprintf(stderr, "message %zu: %s: %s\n", k, #call, codes_get_error_message(err)); \
    failed[nfailed++] = k;                                                                   \
    goto next;                                                                               \
  }
  const double start = now();
  for (size_t k = 0; k < nmessages; ++k) {
    Message* m = &messages[k];
    codes_handle* h = codes_bufr_handle_new_from_samples(NULL, "BUFR4");
    for (size_t i = 0; i < m->nsettings; ++i) {
      if (m->settings[i].kind == 'h') TRY(codes_set_long(h, m->settings[i].key, m->settings[i].number));
    }
    TRY(codes_set_long(h, "numberOfSubsets", m->subsets));
    TRY(codes_set_long(h, "compressedData", m->compressed));
    for (size_t i = 0; i < m->nsettings; ++i) {
      Setting* s = &m->settings[i];
      if (s->kind != 'a') continue;
      long* factors = malloc((s->count + 1) * sizeof(long));
      for (size_t j = 0; j < s->count; ++j) factors[j] = (long)s->values[j];
      err = codes_set_long_array(h, s->key, factors, s->count);
      free(factors);
      TRY(err);
    }
    TRY(codes_set_long_array(h, "unexpandedDescriptors", m->desc, m->ndesc));
    for (size_t i = 0; i < m->nsettings; ++i) {
      Setting* s = &m->settings[i];
      if (s->kind == 'n') {
        if (s->count == 1) {
          if (s->values[0] != CODES_MISSING_DOUBLE) TRY(codes_set_double(h, s->key, s->values[0]));
        } else {
          TRY(codes_set_double_array(h, s->key, s->values, s->count));
        }
      } else if (s->kind == 's') {
        size_t len = strlen(s->text);
        TRY(codes_set_string(h, s->key, s->text, &len));
      }
    }
    TRY(codes_set_long(h, "pack", 1));
    const void* buffer = NULL;
    size_t length = 0;
    TRY(codes_get_message(h, &buffer, &length));
    fwrite(buffer, 1, length, out);
    octets += length;
  next:
    codes_handle_delete(h);
  }
  const double seconds = now() - start;
  fclose(out);
  printf("{\"seconds\": %.6f, \"messages\": %zu, \"octets\": %zu, \"failed\": [", seconds, nmessages, octets);
  for (size_t i = 0; i < nfailed; ++i) printf(i ? ", %zu" : "%zu", failed[i]);
  printf("]}\n");
  return 0;
}
