/* A test aid for wine on a pseudo-terminal, built for the host and preloaded into
 * wine (LD_PRELOAD) by scripts/wine-test.sh; never part of a program we ship.
 * While a program waits for serial events, wine reads the modem lines with
 * TIOCMGET, and a pseudo-terminal refuses that ioctl, so wine ends every such
 * wait after a few milliseconds with ERROR_OPERATION_ABORTED. A real serial port
 * answers TIOCMGET. Here a refused TIOCMGET reports "no line set" instead; every
 * other ioctl, and a TIOCMGET that fails for another reason (EIO on a line that
 * hung up), is passed on untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);
static ioctl_fn real_ioctl;

__attribute__((constructor)) static void find_real_ioctl(void) { real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl"); }

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (!real_ioctl) find_real_ioctl();
  const int saved = errno;
  const int r = real_ioctl(fd, request, arg);
  if (r < 0 && request == TIOCMGET && arg && (errno == ENOTTY || errno == EINVAL)) {
    *(int*)arg = 0;
    errno = saved;
    return 0;
  }
  return r;
}
