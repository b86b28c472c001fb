#include "detail/io/photo_bytes.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "detail/io/opened_file.h"
#include "detail/io/photo_input.h"

namespace roughgc::detail {

namespace {

// What load() reads of a regular file at once: every header, and most
// photos whole. Past it, fetch() reads at least as much again as it has,
// so that a photo is read in a few calls however large.
constexpr size_t kFirstRead = size_t{4} << 20;
// Room kept for a regular file at once, so that its bytes are not moved as
// they are read: its size, up to this. (Untouched room costs address space
// only.)
constexpr size_t kRoomAtOnce = size_t{256} << 20;

}  // namespace

PhotoBytes::~PhotoBytes() { close(); }

void PhotoBytes::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void PhotoBytes::release() {
    close();
    buffer_.release();
    read_ = end_ = 0;
}

LoadEnd PhotoBytes::load(const std::string& path, const std::function<bool()>& stopRequested) {
    close();
    path_ = path;
    read_ = end_ = 0;
    regularFile_ = false;
    OpenedFile file(path.c_str());
    if (file.regular()) {
        if (file.size() == 0) return LoadEnd::Failed;
        end_ = file.size();
        fd_ = file.release();
        regularFile_ = true;
        buffer_.reserve(std::min(end_, kRoomAtOnce));
        return fetch(kFirstRead) > 0 ? LoadEnd::Loaded : LoadEnd::Failed;
    }
    const bool pipe = file.kind() == OpenedFile::Kind::Stream;
    if (!file.isOpen() || (!pipe && file.kind() != OpenedFile::Kind::Device)) return LoadEnd::Failed;
    const StreamEnd streamed =
        readToEnd(file.fd(), pipe, kMaxStreamedPhotoBytes, stopRequested, [this](const unsigned char* data, size_t n) {
            if (read_ + n > buffer_.capacity())
                buffer_.reserve(std::max(read_ + n, std::max(buffer_.capacity() * 2, size_t{65536})), read_);
            std::memcpy(buffer_.data() + read_, data, n);
            read_ += n;
            return true;
        });
    end_ = read_;
    if (streamed == StreamEnd::Interrupted) return LoadEnd::Interrupted;
    return streamed == StreamEnd::Complete ? LoadEnd::Loaded : LoadEnd::Failed;
}

size_t PhotoBytes::fetch(size_t want) {
    if (want <= read_ || fd_ < 0) return std::min(want, read_);
    const size_t target = std::min(end_, std::max(want, std::max(read_ * 2, kFirstRead)));
    if (target > buffer_.capacity()) buffer_.reserve(target, read_);
    while (read_ < target) {
        const ssize_t n = pread(fd_, buffer_.data() + read_, target - read_, static_cast<off_t>(read_));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // The file ends here after all (it shrank, or cannot be read on):
            // what was read is the photo.
            end_ = read_;
            break;
        }
        read_ += static_cast<size_t>(n);
    }
    if (read_ == end_) close();
    return std::min(want, read_);
}

}  // namespace roughgc::detail
