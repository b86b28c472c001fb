#include "detail/io/photo_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace roughgc::detail {

namespace {

constexpr size_t kReadChunk = 65536;
// How long a wait for a pipe goes on before stopRequested is asked again.
constexpr int kWaitStepMs = 100;

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

MemoryFile::MemoryFile() {
    fd_ = memfd_create("roughgc-photo", MFD_CLOEXEC);
    if (fd_ < 0) {
        const char* folder = std::getenv("TMPDIR");
        fd_ = open(folder != nullptr && *folder != '\0' ? folder : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    }
}

MemoryFile::~MemoryFile() {
    if (fd_ >= 0) close(fd_);
}

bool MemoryFile::append(const unsigned char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd_, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace roughgc::detail
