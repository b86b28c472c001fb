// Photos that come down a pipe.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace roughgc::detail {

// The most bytes read from a photo that is not a regular file (a pipe, a
// character device): enough for any photo, and a stop for endless sources
// such as /dev/zero.
constexpr size_t kMaxStreamedPhotoBytes = size_t{1} << 30;

enum class StreamEnd { Complete, Failed, Interrupted };

// Everything the non-blocking descriptor `fd` yields up to its end, handed
// to `append` a read buffer at a time (at most limit + 1 bytes are read).
// Failed if reading or `append` fails or the stream is longer than `limit`,
// or nothing came. A FIFO (`waitsForWriter`) that no writer has opened yet
// is waited for: without `stopRequested` as long as it takes, as a
// blocking read would; with it, in steps of about 100 ms, giving up
// (Interrupted) once it returns true.
StreamEnd readToEnd(int fd, bool waitsForWriter, size_t limit, const std::function<bool()>& stopRequested,
                    const std::function<bool(const unsigned char*, size_t)>& append);

// Bytes in an unnamed file in memory, to be read back through its /proc
// name: for a photo that came down a pipe and that OpenCV's codecs decode,
// with the very reader they use for a file (their in-memory reader leaves
// the rows of a cut JPEG unwritten, where the file reader decodes what is
// there). Where the kernel has no memfd_create, an unnamed file in the
// temporary folder stands in.
class MemoryFile {
public:
    MemoryFile();
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool append(const unsigned char* data, size_t size);
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_ = -1;
};

}  // namespace roughgc::detail
