/*
 * LD_PRELOAD library for running the Windows serial tests under Wine against
 * a Linux pseudo-terminal.
 *
 * Why: Wine serves an overlapped WaitCommEvent by polling the port's modem
 * lines and interrupt counters (TIOCMGET, TIOCGICOUNT and friends). A pty has
 * no modem lines, those ioctls fail, and Wine then cancels the wait after
 * about 15 ms (ERROR_OPERATION_ABORTED) instead of waiting for a character.
 * A real serial port answers them, so this library answers them for terminal
 * descriptors whose driver refuses, as a port with a modem that is always
 * ready would: DSR and CTS read as raised, DTR and RTS read back as last set
 * (raised at first), and the interrupt counters stay at zero. Every other
 * call, and every call the driver itself accepts, goes through unchanged.
 *
 * Built with the host compiler; Wine loads it into its own (Linux) process.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn real_ioctl(void) {
  static ioctl_fn fn;
  if (fn == NULL) fn = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  return fn;
}

/* DTR and RTS as last set, per descriptor; 0 is "never set" (both raised). */
enum { kMaxFds = 4096, kSet = 0x10000 };
static int lines[kMaxFds];

static int get_lines(int fd) {
  const int v = (fd >= 0 && fd < kMaxFds) ? __atomic_load_n(&lines[fd], __ATOMIC_RELAXED) : 0;
  return (v & kSet) ? (v & ~kSet) : (TIOCM_DTR | TIOCM_RTS);
}

static void set_lines(int fd, int value) {
  if (fd >= 0 && fd < kMaxFds) {
    __atomic_store_n(&lines[fd], (value & (TIOCM_DTR | TIOCM_RTS)) | kSet, __ATOMIC_RELAXED);
  }
}

static int is_modem_request(unsigned long request) {
  switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCGICOUNT:
      return 1;
    default:
      return 0;
  }
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);

  ioctl_fn next = real_ioctl();
  if (next == NULL) {
    errno = ENOSYS;
    return -1;
  }
  const int saved = errno;
  const int result = next(fd, request, arg);
  if (result == 0 || !is_modem_request(request) || arg == NULL) return result;
  const int error = errno;
  if (!isatty(fd)) {
    errno = error;
    return result;
  }
  switch (request) {
    case TIOCMGET:
      *(int*)arg = TIOCM_DSR | TIOCM_CTS | get_lines(fd);
      break;
    case TIOCMSET:
      set_lines(fd, *(const int*)arg);
      break;
    case TIOCMBIS:
      set_lines(fd, get_lines(fd) | *(const int*)arg);
      break;
    case TIOCMBIC:
      set_lines(fd, get_lines(fd) & ~*(const int*)arg);
      break;
    case TIOCGICOUNT:
      memset(arg, 0, sizeof(struct serial_icounter_struct));
      break;
    default:
      break;
  }
  errno = saved;
  return 0;
}
