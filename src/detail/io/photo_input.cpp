#include "detail/io/photo_input.h"

#include "detail/io/jpeg_rows.h"
#include "detail/io/decode_limits.h"
#include "detail/io/photo_header.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <new>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

namespace roughgc::detail {

namespace {

// Header fields can announce more pixels than OpenCV accepts: it throws.
// A photo that the decoder had no memory for is not unreadable, though:
// that failure goes on as std::bad_alloc.
//
// OpenCV calls an image of over 2 GiB not continuous, whose rows follow each
// other all the same: only rows with gaps between them are closed up, in a
// copy, and a copy that finds no memory is memory that ran out too.
template <class Decode>
cv::Mat decodeGuarded(Decode decode) {
    try {
        cv::Mat image = decode();
        if (image.data == nullptr) return cv::Mat();
        if (image.step[0] != image.elemSize() * static_cast<size_t>(image.cols)) image = image.clone();
        return image;
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) throw std::bad_alloc();
        return cv::Mat();
    }
}

constexpr size_t kReadChunk = 65536;
// How long a wait for a pipe goes on before stopRequested is asked again.
constexpr int kWaitStepMs = 100;

// A photo's bytes in an unnamed file in memory, decoded through the file's
// /proc name. OpenCV then decodes them with the very reader it uses for a
// file: its in-memory reader leaves the rows of a cut-off JPEG unwritten
// (uninitialised memory, different from run to run), where its file reader
// decodes what is there. Where the kernel has no memfd_create, an unnamed
// file in the temporary folder stands in.
class MemoryFile {
public:
    MemoryFile() {
        fd_ = memfd_create("roughgc-photo", MFD_CLOEXEC);
        if (fd_ < 0) {
            const char* folder = std::getenv("TMPDIR");
            fd_ = open(folder != nullptr && *folder != '\0' ? folder : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        }
    }
    ~MemoryFile() {
        if (fd_ >= 0) close(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool append(const unsigned char* data, size_t size) {
        while (size > 0) {
            const ssize_t n = write(fd_, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    cv::Mat decode() const {
        const std::string path = "/proc/self/fd/" + std::to_string(fd_);
        return decodeGuarded([&] { return cv::imread(path, cv::IMREAD_COLOR); });
    }

private:
    int fd_ = -1;
};

}  // namespace

// `fd` is non-blocking. A FIFO that no writer has opened yet reads as empty,
// so its first read of 0 bytes is an end only once a writer has been seen:
// data arrived, or poll() said that the writers have gone.
StreamEnd readToEnd(int fd, bool waitsForWriter, size_t limit, const std::function<bool()>& stopRequested,
                    const std::function<bool(const unsigned char*, size_t)>& append) {
    std::vector<unsigned char> buffer(kReadChunk);
    size_t used = 0;
    bool writerSeen = !waitsForWriter;
    for (;;) {
        // One byte past the limit tells an over-long stream from one that
        // ends exactly there.
        const ssize_t n = read(fd, buffer.data(), std::min(buffer.size(), limit + 1 - used));
        if (n > 0) {
            used += static_cast<size_t>(n);
            writerSeen = true;
            if (used > limit || !append(buffer.data(), static_cast<size_t>(n))) return StreamEnd::Failed;
            continue;
        }
        if (n == 0 && writerSeen) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return StreamEnd::Failed;
        // Nothing to read yet. Without a way to be stopped, wait as a
        // blocking read would; otherwise in steps, asking between them.
        for (;;) {
            if (stopRequested && stopRequested()) return StreamEnd::Interrupted;
            pollfd p{fd, POLLIN, 0};
            const int ready = poll(&p, 1, stopRequested ? kWaitStepMs : -1);
            if (ready > 0) break;
            if (ready < 0 && errno != EINTR) return StreamEnd::Failed;
        }
        // Data, or the last writer gone: either way a writer came. (Any
        // other event also ends the wait, so that nothing can spin here.)
        writerSeen = true;
    }
    return used == 0 ? StreamEnd::Failed : StreamEnd::Complete;
}

std::string decodeLimitProblemOfFile(const std::string& path) {
    const auto size = photoDimensionsOfFile(path.c_str());
    if (!size || withinDecodeLimits(size->width, size->height)) return "";
    return decodeLimitProblem(size->width, size->height);
}

cv::Mat decodePhoto(const unsigned char* bytes, size_t size) {
    if (size == 0 || size > static_cast<size_t>(INT_MAX)) return cv::Mat();
    MemoryFile file;
    if (!file.ok() || !file.append(bytes, size)) return cv::Mat();
    return file.decode();
}

cv::Mat readPhoto(const std::string& path, const std::function<bool()>& stopRequested, bool* interrupted) {
    if (interrupted != nullptr) *interrupted = false;
    // Non-blocking, since opening a FIFO would otherwise wait for a writer,
    // with no way to give up. What the path is comes from the descriptor, so
    // a file replaced by a FIFO after a look at its name cannot block either.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // cv::imread would print a warning of its own for a file it cannot open.
    if (fd < 0) return cv::Mat();
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return cv::Mat();
    }
    const bool pipe = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    if (!pipe && !S_ISCHR(st.st_mode)) {
        close(fd);
        return decodeGuarded([&] { return cv::imread(path, cv::IMREAD_COLOR); });
    }
    MemoryFile file;
    const StreamEnd end =
        file.ok() ? readToEnd(fd, pipe, kMaxStreamedPhotoBytes, stopRequested,
                              [&file](const unsigned char* data, size_t size) { return file.append(data, size); })
                  : StreamEnd::Failed;
    close(fd);
    if (end == StreamEnd::Interrupted && interrupted != nullptr) *interrupted = true;
    if (end != StreamEnd::Complete) return cv::Mat();
    return file.decode();
}

}  // namespace roughgc::detail
