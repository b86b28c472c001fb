// File-system faults and probes for the tool's black-box tests, preloaded
// (LD_PRELOAD) into the tool alone and chosen by its environment:
//   ROUGHGC_SHIM_NO_TMPFILE           unnamed files (O_TMPFILE) are not to be had
//   ROUGHGC_SHIM_SYNC_DELAY_MS=N      fsync and fdatasync take N ms longer
//   ROUGHGC_SHIM_EIO=fsync|fdatasync  that call fails with EIO
//   ROUGHGC_SHIM_WATCH=A,B,...        the files (by file name) whose reads are watched
//   ROUGHGC_SHIM_LOG=FILE             a line for each read of a watched file, "read NAME BYTES",
//                                     and for each meeting below, "met NAME" or "alone NAME"
//   ROUGHGC_SHIM_MEET_PAST=N          a read of a watched file that goes past its first N bytes
//                                     (where no header read goes) waits, up to 5 s, until every
//                                     watched file has had such a read begun: whether their
//                                     pixels are read at the same time
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int kMaxWatched = 16;
constexpr int kMaxDescriptors = 1 << 16;
constexpr long kMeetingMs = 5000;

template <class Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The watched names, read once from the environment.
struct Watch {
    char names[kMaxWatched][256] = {};
    int count = 0;
    long meetPast = -1;
    int log = -1;

    Watch() {
        if (const char* list = getenv("ROUGHGC_SHIM_WATCH")) {
            for (const char* p = list; *p != '\0' && count < kMaxWatched;) {
                const char* end = strchr(p, ',');
                const size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
                if (n > 0 && n < sizeof names[0]) memcpy(names[count++], p, n);
                p += n + (end ? 1 : 0);
            }
        }
        if (const char* past = getenv("ROUGHGC_SHIM_MEET_PAST")) meetPast = atol(past);
        if (const char* file = getenv("ROUGHGC_SHIM_LOG"))
            log = real<int (*)(int, const char*, int, ...)>("openat")(AT_FDCWD, file,
                                                                    O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    }

    // The index of the watched file named by `path`'s last part, or -1.
    int of(const char* path) const {
        if (count == 0 || path == nullptr) return -1;
        const char* slash = strrchr(path, '/');
        const char* name = slash ? slash + 1 : path;
        for (int i = 0; i < count; ++i)
            if (strcmp(names[i], name) == 0) return i;
        return -1;
    }

    void note(const char* what, int index, long bytes = -1) const {
        if (log < 0) return;
        char line[320];
        const int n = bytes < 0 ? snprintf(line, sizeof line, "%s %s\n", what, names[index])
                                : snprintf(line, sizeof line, "%s %s %ld\n", what, names[index], bytes);
        if (n > 0) (void)!write(log, line, static_cast<size_t>(n));
    }
};

const Watch& watch() {
    static const Watch w;
    return w;
}

// Which watched file each descriptor reads, as its index + 1 (0: none).
std::atomic<int> watchedFd[kMaxDescriptors];
std::atomic<unsigned> pixelsBegun{0};

void opened(int fd, const char* path) {
    if (fd < 0 || fd >= kMaxDescriptors) return;
    const int index = watch().of(path);
    watchedFd[fd].store(index + 1);
}

int watchedIndex(int fd) { return fd >= 0 && fd < kMaxDescriptors ? watchedFd[fd].load() - 1 : -1; }

// A read of watched file `index` from `offset` for `count` bytes is about to
// be made: past the header, it waits for the others' to begin.
void beforeRead(int index, long offset, size_t count) {
    const Watch& w = watch();
    if (w.meetPast < 0 || offset + static_cast<long>(count) <= w.meetPast) return;
    const unsigned all = (1u << w.count) - 1, mine = 1u << index;
    if (pixelsBegun.fetch_or(mine) & mine) return;  // met (or not) once already
    const timespec step = {0, 10 * 1000000L};
    for (long waited = 0; (pixelsBegun.load() & all) != all; waited += 10) {
        if (waited >= kMeetingMs) {
            w.note("alone", index);
            return;
        }
        nanosleep(&step, nullptr);
    }
    w.note("met", index);
}

int openedAt(const char* name, int dirfd, const char* path, int flags, mode_t mode) {
    if ((flags & O_TMPFILE) == O_TMPFILE && getenv("ROUGHGC_SHIM_NO_TMPFILE") != nullptr) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const int fd = real<int (*)(int, const char*, int, ...)>(name)(dirfd, path, flags, mode);
    opened(fd, path);
    return fd;
}

int openedPlain(const char* name, const char* path, int flags, mode_t mode) {
    const int fd = real<int (*)(const char*, int, ...)>(name)(path, flags, mode);
    opened(fd, path);
    return fd;
}

mode_t modeOf(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(ap, unsigned)) : 0;
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
    return real<int (*)(int)>(name)(fd);
}

ssize_t readAt(const char* name, int fd, void* buffer, size_t count, off_t offset) {
    const int index = watchedIndex(fd);
    if (index >= 0) beforeRead(index, offset, count);
    const ssize_t n = real<ssize_t (*)(int, void*, size_t, off_t)>(name)(fd, buffer, count, offset);
    if (index >= 0 && n > 0) watch().note("read", index, n);
    return n;
}

}  // namespace

extern "C" {

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeOf(flags, ap);
    va_end(ap);
    return openedAt("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeOf(flags, ap);
    va_end(ap);
    return openedAt("openat64", dirfd, path, flags, mode);
}

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeOf(flags, ap);
    va_end(ap);
    return openedPlain("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeOf(flags, ap);
    va_end(ap);
    return openedPlain("open64", path, flags, mode);
}

int close(int fd) {
    static const auto closed = real<int (*)(int)>("close");
    if (fd >= 0 && fd < kMaxDescriptors) watchedFd[fd].store(0);
    return closed(fd);
}

ssize_t read(int fd, void* buffer, size_t count) {
    static const auto reading = real<ssize_t (*)(int, void*, size_t)>("read");
    const int index = watchedIndex(fd);
    if (index >= 0) beforeRead(index, static_cast<long>(lseek(fd, 0, SEEK_CUR)), count);
    const ssize_t n = reading(fd, buffer, count);
    if (index >= 0 && n > 0) watch().note("read", index, n);
    return n;
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) { return readAt("pread", fd, buffer, count, offset); }
ssize_t pread64(int fd, void* buffer, size_t count, off_t offset) {
    return readAt("pread64", fd, buffer, count, offset);
}

int fsync(int fd) { return synced("fsync", fd); }
int fdatasync(int fd) { return synced("fdatasync", fd); }

}  // extern "C"
