/* Preloaded into mbpoll (LD_PRELOAD): times each read of holding registers the
 * way the window's poll is timed, from the call that sends the request to the
 * return with the registers decoded. Ends the process after the asked number.
 *   TAGRIS_PERF_OUT     file for one latency per line, in microseconds
 *   TAGRIS_PERF_POLLS   timed reads before exit (default 300)
 *   TAGRIS_PERF_WARMUP  untimed reads first (default 10)
 * A failed read is counted in the last line of the file as "# failed N". */
#include <dlfcn.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using ReadRegisters = int (*)(void* ctx, int addr, int nb, std::uint16_t* dest);

long long* samples;
int taken, calls, failed;

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

long long NowNs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

void Finish() {
  const char* path = std::getenv("TAGRIS_PERF_OUT");
  std::FILE* out = path ? std::fopen(path, "w") : stderr;
  if (!out) return;
  for (int i = 0; i < taken; ++i) std::fprintf(out, "%lld\n", samples[i] / 1000);
  std::fprintf(out, "# failed %d\n", failed);
  if (out != stderr) std::fclose(out);
}

}  // namespace

extern "C" int modbus_read_registers(void* ctx, int addr, int nb, std::uint16_t* dest) {
  static ReadRegisters real;
  if (!real) real = reinterpret_cast<ReadRegisters>(dlsym(RTLD_NEXT, "modbus_read_registers"));
  const int polls = EnvInt("TAGRIS_PERF_POLLS", 300);
  const int warmup = EnvInt("TAGRIS_PERF_WARMUP", 10);
  if (!samples) samples = static_cast<long long*>(std::calloc(static_cast<std::size_t>(polls > 0 ? polls : 1), sizeof *samples));

  const long long start = NowNs();
  const int rc = real(ctx, addr, nb, dest);
  const long long took = NowNs() - start;

  ++calls;
  if (rc != nb) ++failed;
  else if (calls > warmup && taken < polls) samples[taken++] = took;
  if (taken >= polls || calls >= 4 * (polls + warmup)) {
    Finish();
    std::exit(failed > 0 && taken == 0 ? 1 : 0);
  }
  return rc;
}
