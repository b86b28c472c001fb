#include "detail/io/opened_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace roughgc::detail {

namespace {

OpenedFile::Kind kindOf(mode_t mode) {
    if (S_ISREG(mode)) return OpenedFile::Kind::Regular;
    if (S_ISFIFO(mode) || S_ISSOCK(mode)) return OpenedFile::Kind::Stream;
    if (S_ISCHR(mode)) return OpenedFile::Kind::Device;
    return OpenedFile::Kind::Other;
}

}  // namespace

OpenedFile::OpenedFile(const char* path, bool regularOnly) {
    struct stat st;
    if (regularOnly && (stat(path, &st) != 0 || !S_ISREG(st.st_mode))) return;
    fd_ = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    if (fstat(fd_, &st) != 0 || (regularOnly && !S_ISREG(st.st_mode))) {
        close(fd_);
        fd_ = -1;
        return;
    }
    kind_ = kindOf(st.st_mode);
    if (kind_ == Kind::Regular) size_ = static_cast<size_t>(st.st_size);
}

OpenedFile::~OpenedFile() {
    if (fd_ >= 0) close(fd_);
}

int OpenedFile::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

}  // namespace roughgc::detail
