// POSIX errno values mapped into verr: the edge where system errors enter
// our one code space.
#include <cerrno>

#include "pal_err.h"
#include "liblog.h"

WY_LOG_TAG("pal");

namespace {

struct errno_row {
  int eno;
  int verr;
};

// A table rather than a switch: several names share one number on Linux
// (EAGAIN/EWOULDBLOCK, EOPNOTSUPP/ENOTSUP, EDEADLK/EDEADLOCK); the first row
// wins. The rows follow what the Windows number of the same cause gives, so
// the copy engine's error classes behave alike on both.
constexpr errno_row kRows[] = {
    {EPERM, -38},
    {EACCES, -38},
    {ENOENT, -102},
    {ENOTDIR, -103},
    {EEXIST, -105},
    {ENOSPC, -152},
    {EDQUOT, -152},
    {EROFS, -113},
    {ETIMEDOUT, -40},
    {ETIME, -40},
    {ECONNREFUSED, -461},
    {ECONNRESET, -454},
    {ENAMETOOLONG, -120},
    {ENOTEMPTY, -125},
    {EMFILE, -106},
    {ENFILE, -106},
    {ENOMEM, -8},
    {EINTR, -39},
    {EAGAIN, -52},
    {ECANCELED, -70},
    {ELOOP, -156},
    {EXDEV, -119},
    {EIO, -257},
    {ENXIO, -258},
    {ENODEV, -258},
    {ENOMEDIUM, -252},
    {EINVAL, -2},
    {E2BIG, -2},
    {EBADF, -4},
    {EBADFD, -4},
    {ESTALE, -4},
    {EFAULT, -6},
    {EBUSY, -114},
    {ETXTBSY, -114},
    {EISDIR, -38},
    {ESPIPE, -109},
    {EFBIG, -112},
    {EMLINK, -117},
    {EPIPE, -301},
    {ERANGE, -41},
    {EOVERFLOW, -41},
    {EDEADLK, -115},
    {ENOLCK, -115},
    {ENOSYS, -12},
    {ENOTTY, -36},
    {ENODATA, -78},
    {ESRCH, -78},
    {EILSEQ, -58},
    {ENOEXEC, -608},
    {EOWNERDEAD, -361},
    {EPROTO, -466},
    // sockets, in the order of the socket group
    {EINPROGRESS, -436},
    {EALREADY, -437},
    {ENOTSOCK, -438},
    {EDESTADDRREQ, -439},
    {EMSGSIZE, -440},
    {EPROTOTYPE, -441},
    {ENOPROTOOPT, -442},
    {EPROTONOSUPPORT, -443},
    {ESOCKTNOSUPPORT, -444},
    // ENOTSUP and EOPNOTSUPP are one number on Linux. Files, devices and
    // shadow copies answer "Not supported." far more often than a socket
    // refuses an operation, so the file meaning wins.
    {ENOTSUP, -37},
    {EPFNOSUPPORT, -446},
    {EAFNOSUPPORT, -447},
    {EADDRINUSE, -448},
    {EADDRNOTAVAIL, -449},
    {ENETDOWN, -450},
    {ENETUNREACH, -451},
    {ENETRESET, -452},
    {ECONNABORTED, -453},
    {ENOBUFS, -455},
    {EISCONN, -456},
    {ENOTCONN, -457},
    {ESHUTDOWN, -458},
    {ETOOMANYREFS, -459},
    {EHOSTDOWN, -464},
    {EHOSTUNREACH, -465},
};

}  // namespace

int os_verr_get(int eno) {
  if (eno == 0) return 0;
  for (const errno_row& r : kRows)
    if (r.eno == eno) return r.verr;
  LOGW("Unhandled eno=%u (0x%x)\n", (unsigned)eno, (unsigned)eno);
  return -1;
}

int os_last_verr() {
  int e = errno;
  return e == 0 ? -1 : os_verr_get(e);
}

int os_last_err() { return errno; }

void os_last_err_set(int e) { errno = e; }
