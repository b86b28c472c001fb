#include "detail/map_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
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

// 0 if `target` may be replaced: absent, or a regular file we may write.
int checkReplaceable(const std::string& target, std::string& why) {
    struct stat st;
    if (stat(target.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) {
        why = "Not a regular file";
        return -1;
    }
    return access(target.c_str(), W_OK) == 0 ? 0 : errno;
}

// Creates a new file beside `target` that nobody else has opened.
int createTemporary(const std::string& target, std::string& temporary) {
    static std::atomic<unsigned> counter{0};
    const std::string stem = directoryOf(target) + "/." + nameOf(target) + "." + std::to_string(getpid()) + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = stem + std::to_string(counter++) + ".tmp";
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, std::min<size_t>(size, size_t{1} << 30));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool fail(int err, std::string& why) {
    if (err > 0) why = std::strerror(err);
    errno = err > 0 ? err : 0;
    return false;
}

}  // namespace

bool writeFileWhole(const std::string& path, const void* data, size_t size, std::string& why) {
    std::string target, temporary;
    if (const int err = resolveLinks(path, target)) return fail(err, why);
    if (const int err = checkReplaceable(target, why)) return fail(err, why);

    const int fd = createTemporary(target, temporary);
    if (fd < 0) return fail(errno, why);
    bool ok = writeAll(fd, static_cast<const char*>(data), size);
    int err = ok ? 0 : errno;
    // close reports what the file system could not store until then.
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(temporary.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        return fail(err, why);
    }
    return true;
}

bool writeImageFile(const cv::Mat& image, const std::string& extension, const std::string& path, std::string& why) {
    // Kept from one map to the next: a fresh buffer of a megabyte or more
    // would be mapped anew, and fault in page by page, every time.
    thread_local std::vector<uchar> encoded;
    try {
        if (!cv::imencode(extension, image, encoded)) return fail(-1, why = "the encoder failed");
    } catch (const cv::Exception& e) {
        why = e.what();
        std::replace(why.begin(), why.end(), '\n', ' ');
        return fail(-1, why);
    }
    return writeFileWhole(path, encoded.data(), encoded.size(), why);
}

bool writeGreyBmp(const unsigned char* map, int rows, int cols, const std::string& path, std::string& why) {
    return writeImageFile(cv::Mat(rows, cols, CV_8UC1, const_cast<unsigned char*>(map)), ".bmp", path, why);
}

}  // namespace roughgc::detail
