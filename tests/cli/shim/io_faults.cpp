// File-system faults for the tool's black-box tests, preloaded
// (LD_PRELOAD) into the tool alone and chosen by its environment:
//   ROUGHGC_SHIM_NO_TMPFILE           unnamed files (O_TMPFILE) are not to be had
//   ROUGHGC_SHIM_SYNC_DELAY_MS=N      fsync and fdatasync take N ms longer
//   ROUGHGC_SHIM_EIO=fsync|fdatasync  that call fails with EIO
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

int opened(const char* name, int dirfd, const char* path, int flags, mode_t mode) {
    if ((flags & O_TMPFILE) == O_TMPFILE && getenv("ROUGHGC_SHIM_NO_TMPFILE") != nullptr) {
        errno = EOPNOTSUPP;
        return -1;
    }
    auto real = reinterpret_cast<int (*)(int, const char*, int, ...)>(dlsym(RTLD_NEXT, name));
    return real(dirfd, path, flags, mode);
}

mode_t modeOf(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(ap, unsigned)) : 0;
}

}  // namespace

extern "C" int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeOf(flags, ap);
    va_end(ap);
    return opened("openat", dirfd, path, flags, mode);
}

extern "C" int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeOf(flags, ap);
    va_end(ap);
    return opened("openat64", dirfd, path, flags, mode);
}

int synced(const char* name, int fd) {
    const char* delay = getenv("ROUGHGC_SHIM_SYNC_DELAY_MS");
    if (delay != nullptr) {
        const long ms = atol(delay);
        const timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
    }
    const char* failing = getenv("ROUGHGC_SHIM_EIO");
    if (failing != nullptr && strcmp(failing, name) == 0) {
        errno = EIO;
        return -1;
    }
    auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, name));
    return real(fd);
}

extern "C" int fsync(int fd) { return synced("fsync", fd); }
extern "C" int fdatasync(int fd) { return synced("fdatasync", fd); }
