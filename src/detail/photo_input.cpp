#include "detail/photo_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <new>
#include <opencv2/imgcodecs.hpp>

namespace roughgc::detail {

namespace {

// Header fields can announce more pixels than OpenCV accepts: it throws.
// A photo that the decoder had no memory for is not unreadable, though:
// that failure goes on as std::bad_alloc.
template <class Decode>
cv::Mat decodeGuarded(Decode decode) {
    cv::Mat image;
    try {
        image = decode();
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) throw std::bad_alloc();
        return cv::Mat();
    }
    if (image.data == nullptr) return cv::Mat();
    if (!image.isContinuous()) image = image.clone();
    return image;
}

struct FreeBytes {
    void operator()(unsigned char* p) const { std::free(p); }
};
using MallocBytes = std::unique_ptr<unsigned char, FreeBytes>;

enum class StreamEnd { Complete, Failed, Interrupted };

constexpr size_t kReadChunk = 65536;
// How long a wait for a pipe goes on before stopRequested is asked again.
constexpr int kWaitStepMs = 100;

// Everything the descriptor yields up to its end, in `bytes[0, size)`.
// Failed if reading fails or the stream is longer than `limit`.
//
// The buffer comes from realloc rather than a std::vector: glibc grows a
// large block by remapping it, neither copying it nor touching the new
// pages, so that at most the bytes read (and never more than limit + 1) are
// resident. A vector would hold the old block while copying it into one
// twice its size, and fill that: 3 GiB resident for /dev/zero.
//
// `fd` is non-blocking. A FIFO that no writer has opened yet reads as empty,
// so its first read of 0 bytes is an end only once a writer has been seen:
// data arrived, or poll() said that the writers have gone.
StreamEnd readToEnd(int fd, bool waitsForWriter, size_t limit, const std::function<bool()>& stopRequested,
                    MallocBytes& bytes, size_t& size) {
    size_t capacity = 0, used = 0;
    bool writerSeen = !waitsForWriter;
    for (;;) {
        if (capacity - used < kReadChunk && capacity < limit + kReadChunk) {
            const size_t grown = std::min(std::max(2 * capacity, used + kReadChunk), limit + kReadChunk);
            auto* p = static_cast<unsigned char*>(std::realloc(bytes.get(), grown));
            if (p == nullptr) return StreamEnd::Failed;
            (void)bytes.release();  // realloc has taken the old block
            bytes.reset(p);
            capacity = grown;
        }
        // One byte past the limit tells an over-long stream from one that
        // ends exactly there.
        const ssize_t n = read(fd, bytes.get() + used, std::min(capacity - used, limit + 1 - used));
        if (n > 0) {
            used += static_cast<size_t>(n);
            writerSeen = true;
            if (used > limit) return StreamEnd::Failed;
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
    size = used;
    return StreamEnd::Complete;
}

}  // namespace

cv::Mat decodePhoto(const unsigned char* bytes, size_t size) {
    if (size == 0 || size > static_cast<size_t>(INT_MAX)) return cv::Mat();
    return decodeGuarded([&] {
        const cv::Mat encoded(1, static_cast<int>(size), CV_8UC1, const_cast<unsigned char*>(bytes));
        return cv::imdecode(encoded, cv::IMREAD_COLOR);
    });
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
    MallocBytes bytes;
    size_t size = 0;
    const StreamEnd end = readToEnd(fd, pipe, kMaxStreamedPhotoBytes, stopRequested, bytes, size);
    close(fd);
    if (end == StreamEnd::Interrupted && interrupted != nullptr) *interrupted = true;
    if (end != StreamEnd::Complete) return cv::Mat();
    return decodePhoto(bytes.get(), size);
}

}  // namespace roughgc::detail
