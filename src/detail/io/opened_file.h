// A file opened to be read, with what it is: the one way the core opens a
// photo's file, never blocking on a FIFO that has no writer.
#pragma once

#include <cstddef>

namespace roughgc::detail {

class OpenedFile {
public:
    enum class Kind {
        Regular,
        Stream,  // a FIFO or a socket
        Device,  // a character device
        Other,   // a directory, a block device: nothing a photo is read from
    };

    // Opens `path` read-only, non-blocking (opening a FIFO would otherwise
    // wait for a writer with no way to give up) and closed on exec, and
    // asks the descriptor what it is: a file replaced after a look at its
    // name cannot block. With `regularOnly`, a name that is not a regular
    // file is not opened at all: opening a pipe, even to look, would let
    // its writer go on and its bytes be lost to the reader that decodes it.
    explicit OpenedFile(const char* path, bool regularOnly = false);
    ~OpenedFile();
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    // Whether the file is open: false where it could not be opened or
    // asked, or, with regularOnly, was not regular.
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    Kind kind() const { return kind_; }
    bool regular() const { return isOpen() && kind_ == Kind::Regular; }
    // A regular file's size when it was opened.
    size_t size() const { return size_; }

    // The descriptor, now the caller's to close.
    int release();

private:
    int fd_ = -1;
    Kind kind_ = Kind::Other;
    size_t size_ = 0;
};

}  // namespace roughgc::detail
