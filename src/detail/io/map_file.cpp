#include "detail/io/map_file.h"

#include "detail/io/codec_plugin.h"
#include "detail/io/map_encoders.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <opencv2/core.hpp>
#include <new>
#include <thread>
#include <vector>

namespace roughgc::detail {

namespace {

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file that `path` finally names, through any symbolic links; it need
// not exist yet. Returns 0 or an errno value.
int resolveLinks(std::string path, std::string& target) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) return errno;
            target = path;
            return 0;
        }
        if (!S_ISLNK(st.st_mode)) {
            target = path;
            return 0;
        }
        char link[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), link, sizeof link);
        if (n < 0) return errno;
        if (static_cast<size_t>(n) == sizeof link) return ENAMETOOLONG;
        const std::string next(link, static_cast<size_t>(n));
        path = next.front() == '/' ? next : directoryOf(path) + "/" + next;
    }
    return ELOOP;
}

// 0 if `target` may be replaced: absent, or a regular file we may write,
// whose permissions (`mode`) its replacement keeps. -1 with `why` set for
// what has no errno of its own.
int checkReplaceable(const std::string& target, bool& exists, mode_t& mode, std::string& why) {
    struct stat st;
    exists = false;
    if (stat(target.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
    exists = true;
    mode = st.st_mode & 07777;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) {
        why = "Not a regular file";
        return -1;
    }
    return access(target.c_str(), W_OK) == 0 ? 0 : errno;
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Named temporaries in flight, where removeTemporaryFiles can find them.
// Writers take a slot with `owned`; a slot's path is written only while its
// sequence number is even, so a signal handler that reads the same odd
// number before and after copying the path has a whole path, and one still
// in flight. Everything a handler touches is a lock-free atomic.
struct Slot {
    std::atomic<bool> owned{false};
    std::atomic<unsigned> sequence{0};
    std::atomic<char> path[PATH_MAX];
};
static_assert(std::atomic<unsigned>::is_always_lock_free && std::atomic<char>::is_always_lock_free);
Slot slots[64];

// Set for good by removeTemporaryFiles: the process is ending. Writers
// count themselves in `naming` while they make a name, so that it can wait
// for a name that is being made to be there before it removes it.
std::atomic<bool> ending{false};
std::atomic<int> naming{0};

// Makes a temporary's name through `make`, unless the process is ending:
// then it waits for the end, which is near.
template <class Make>
int namedWhileRunning(Make make) {
    naming.fetch_add(1);
    if (ending.load()) {
        naming.fetch_sub(1);
        for (;;) pause();
    }
    const int err = make();
    naming.fetch_sub(1);
    return err;
}

// A short random name beside the target: its length does not depend on the
// target's, so a target name of NAME_MAX bytes still has a temporary.
std::string randomName() {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    unsigned char bytes[12];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // No entropy yet, early in boot: collisions only cost a retry.
        static std::atomic<uint64_t> counter{0};
        uint64_t x = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                     (static_cast<uint64_t>(getpid()) << 40) ^ (counter++ * 0x9e3779b97f4a7c15ull);
        for (unsigned char& b : bytes) {
            x ^= x >> 31;
            x *= 0xbf58476d1ce4e5b9ull;
            b = static_cast<unsigned char>(x >> 56);
        }
    }
    std::string name = ".rgc-";
    for (unsigned char b : bytes) name += kLetters[b & 63];
    return name;
}

// A slot held while this writer may have a named temporary in `directory`.
// The name is registered before it is created and withdrawn only once it
// is gone (renamed or removed).
class TrackedName {
public:
    explicit TrackedName(const std::string& directory) : directory_(directory) {
        for (;;) {
            for (Slot& s : slots) {
                bool expected = false;
                if (!s.owned.load(std::memory_order_relaxed) &&
                    s.owned.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
                    slot_ = &s;
                    return;
                }
            }
            // More writers at once than slots: better to wait for one than
            // to leave a name a second signal could not clean up.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~TrackedName() {
        withdraw();
        slot_->owned.store(false, std::memory_order_release);
    }
    TrackedName(const TrackedName&) = delete;
    TrackedName& operator=(const TrackedName&) = delete;

    // A fresh name, registered; ENAMETOOLONG if its path could not be.
    int choose() {
        withdraw();
        name_ = randomName();
        const std::string path = directory_ + "/" + name_;
        if (path.size() >= PATH_MAX) return ENAMETOOLONG;
        for (size_t i = 0; i < path.size(); ++i) slot_->path[i].store(path[i], std::memory_order_relaxed);
        slot_->path[path.size()].store('\0', std::memory_order_relaxed);
        slot_->sequence.fetch_add(1, std::memory_order_release);
        armed_ = true;
        return 0;
    }
    void withdraw() {
        if (!armed_) return;
        slot_->sequence.fetch_add(1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        armed_ = false;
    }
    const char* name() const { return name_.c_str(); }

private:
    std::string directory_, name_;
    Slot* slot_ = nullptr;
    bool armed_ = false;
};

int writeAll(int fd, const char* data, size_t size, bool durable) {
    while (size > 0) {
        const ssize_t n = write(fd, data, std::min<size_t>(size, size_t{1} << 30));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    // Before the file gets its final name: after a crash the name holds the
    // whole new content or the old, never a file the disk had not finished.
    // It also reports what the file system could not store until now.
    return !durable || fsync(fd) == 0 ? 0 : errno;
}

// Where the bytes go: the target's folder, open, and the names in it.
struct Destination {
    std::string target, directory, name;
    int folder;
    bool exists;
    mode_t mode;  // the existing file's permissions

    // A new file is made as the umask says; one that replaces another keeps
    // that one's permissions (a private file stays private).
    int keepMode(int file) const { return exists && fchmod(file, mode) != 0 ? errno : 0; }
};

// Gives the finished content a short random name beside the target, through
// `link` (0 or an errno value; EEXIST tries another name), and renames it
// over the target.
template <class Link>
int replaceThrough(const Destination& d, Link link) {
    TrackedName temporary(d.directory);
    for (int attempt = 0;; ++attempt) {
        if (const int err = temporary.choose()) return err;
        if (const int err = namedWhileRunning([&] { return link(temporary.name()); }); err != EEXIST || attempt == 99) {
            if (err != 0) return err;
            break;
        }
    }
    if (renameat(d.folder, temporary.name(), d.folder, d.name.c_str()) != 0) {
        const int err = errno;
        unlinkat(d.folder, temporary.name(), 0);
        return err;
    }
    return 0;
}

constexpr int kNoUnnamedFiles = -2;

#ifdef O_TMPFILE
// An unnamed file in the target's folder, named only once complete: nothing
// is left behind however the process ends while writing.
int writeUnnamed(Destination& d, const void* data, size_t size, bool durable, std::string& why) {
    Descriptor file(openat(d.folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (file.get() < 0) return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? kNoUnnamedFiles : errno;
    if (const int err = writeAll(file.get(), static_cast<const char*>(data), size, durable)) return err;
    if (const int err = d.keepMode(file.get())) return err;

    // Linking a descriptor directly (AT_EMPTY_PATH) needs a capability;
    // through /proc it needs none. Where that fails (no /proc mounted, say),
    // the named way is taken, and reports any error that is real.
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", file.get());
    if (!d.exists) {
        if (linkat(AT_FDCWD, self, d.folder, d.name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
        if (errno != EEXIST) return kNoUnnamedFiles;
        // Something took the name since it was looked at: it must pass the
        // same check as a file that was there from the start.
        if (const int err = checkReplaceable(d.target, d.exists, d.mode, why)) return err;
        if (const int err = d.keepMode(file.get())) return err;
    }
    return replaceThrough(d, [&](const char* name) {
        if (linkat(AT_FDCWD, self, d.folder, name, AT_SYMLINK_FOLLOW) == 0) return 0;
        return errno == EEXIST ? EEXIST : kNoUnnamedFiles;
    });
}
#else
int writeUnnamed(Destination&, const void*, size_t, bool, std::string&) { return kNoUnnamedFiles; }
#endif

// Where the file system has no unnamed files: a named temporary, created
// anew (an existing file of its name is left alone) and renamed over the
// target once complete.
int writeNamed(const Destination& d, const void* data, size_t size, bool durable) {
    return replaceThrough(d, [&](const char* name) {
        const int file = openat(d.folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file < 0) return errno;
        int err = writeAll(file, static_cast<const char*>(data), size, durable);
        if (err == 0) err = d.keepMode(file);
        if (close(file) != 0 && err == 0) err = errno;
        if (err != 0) unlinkat(d.folder, name, 0);
        return err;
    });
}

bool fail(int err, std::string& why) {
    if (err > 0) why = std::strerror(err);
    errno = err > 0 ? err : 0;
    return false;
}

}  // namespace

void removeTemporaryFiles() noexcept {
    const int saved = errno;
    ending.store(true);
    for (int waited = 0; naming.load() != 0 && waited < 1000; ++waited) {
        const timespec millisecond{0, 1000000};
        nanosleep(&millisecond, nullptr);
    }
    for (Slot& s : slots) {
        const unsigned before = s.sequence.load(std::memory_order_acquire);
        if (before % 2 == 0) continue;
        char path[PATH_MAX];
        for (size_t i = 0; i < sizeof path; ++i)
            if ((path[i] = s.path[i].load(std::memory_order_relaxed)) == '\0') break;
        path[sizeof path - 1] = '\0';
        std::atomic_thread_fence(std::memory_order_acquire);
        if (s.sequence.load(std::memory_order_relaxed) == before) unlink(path);
    }
    errno = saved;
}

bool writeFileWhole(const std::string& path, const void* data, size_t size, std::string& why, bool durable) {
    Destination d;
    if (const int err = resolveLinks(path, d.target)) return fail(err, why);
    if (const int err = checkReplaceable(d.target, d.exists, d.mode, why)) return fail(err, why);
    d.directory = directoryOf(d.target);
    d.name = nameOf(d.target);
    const Descriptor folder(open(d.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) return fail(errno, why);
    d.folder = folder.get();

    int err = writeUnnamed(d, data, size, durable, why);
    if (err == kNoUnnamedFiles) err = writeNamed(d, data, size, durable);
    if (err != 0) return fail(err, why);
    // The new name is durable only once the folder holding it is.
    if (durable && fsync(d.folder) != 0) return fail(errno, why);
    return true;
}

MapFormat mapFormatOf(const std::string& path) {
    MapFormat format;
    const size_t slash = path.rfind('/'), dot = path.rfind('.');
    std::string letters;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        // As OpenCV picks an encoder: the letters and digits after the
        // last dot, in any case.
        for (size_t i = dot + 1; i < path.size() && std::isalnum(static_cast<unsigned char>(path[i])); ++i)
            letters += static_cast<char>(std::tolower(static_cast<unsigned char>(path[i])));
    }
    format.extension = "." + letters;
    if (letters == "bmp" || letters == "dib") {
        format.kind = MapFormat::Bmp;
        return format;
    }
    if (letters == "png") {
        format.kind = MapFormat::Png;
        return format;
    }
    format.kind = MapFormat::Codecs;
    const char* name = letters.empty() ? nullptr : codecFormatOfExtension(format.extension);
    const RoughgcCodecs* codecs = name != nullptr ? codecPlugin() : nullptr;
    if (name != nullptr && codecs == nullptr) {
        format.refusal = codecsMissing(name, "files");
    } else if (name == nullptr || !codecs->canWrite(format.extension.c_str())) {
        format.refusal = "(!) No image format for the extension of " + path + " (such as .bmp or .png)";
    }
    return format;
}

bool writeImageFile(const cv::Mat& image, const MapFormat& format, const std::string& path, std::string& why) {
    // Kept from one map to the next: a fresh buffer of a megabyte or more
    // would be mapped anew, and fault in page by page, every time.
    thread_local std::vector<unsigned char> encoded;
    if (!format.refusal.empty()) return fail(-1, why = format.refusal);
    if (format.kind == MapFormat::Bmp && image.type() == CV_8UC1) {
        // A BMP's header holds its size in 32 bits: OpenCV refuses more.
        const uint64_t bmpBytes = uint64_t{1078} + uint64_t{(static_cast<uint64_t>(image.cols) + 3) / 4 * 4} * image.rows;
        if (bmpBytes > INT_MAX) return fail(-1, why = "too large for a BMP file");
        encodeGreyBmp(image.data, image.step[0], image.rows, image.cols, encoded);
    } else if (format.kind == MapFormat::Png && image.depth() == CV_8U) {
        if (!encodePng(image.data, image.step[0], image.rows, image.cols, image.channels(), encoded, why))
            return fail(-1, why);
    } else {
        const RoughgcCodecs* codecs = codecPlugin();
        if (codecs == nullptr) return fail(-1, why = codecsMissing(format.extension.c_str(), "files"));
        char reason[256] = "";
        const int status = codecs->encode(format.extension.c_str(), &image, &encoded, reason, sizeof reason);
        if (status == ROUGHGC_CODECS_OUT_OF_MEMORY) throw std::bad_alloc();
        if (status != ROUGHGC_CODECS_DONE) return fail(-1, why = reason);
    }
    return writeFileWhole(path, encoded.data(), encoded.size(), why);
}

bool writeGreyBmp(const unsigned char* map, int rows, int cols, const std::string& path, std::string& why) {
    thread_local std::vector<unsigned char> encoded;
    encodeGreyBmp(map, static_cast<size_t>(cols), rows, cols, encoded);
    return writeFileWhole(path, encoded.data(), encoded.size(), why);
}

bool writeBilevelPng(const unsigned char* map, size_t step, int rows, int cols, const std::string& path,
                     std::string& why) {
    thread_local std::vector<unsigned char> encoded;
    if (!encodeBilevelPng(map, step, rows, cols, encoded, why)) {
        errno = 0;
        return false;
    }
    return writeFileWhole(path, encoded.data(), encoded.size(), why);
}

}  // namespace roughgc::detail
