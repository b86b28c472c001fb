// A photo file's bytes, read as far as its decoder goes into memory that is
// kept from one photo to the next.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "detail/device/host_memory.h"
#include "detail/io/byte_source.h"

namespace roughgc::detail {

// Where a photo's bytes came from, and whether they all came.
enum class LoadEnd { Loaded, Failed, Interrupted };

class PhotoBytes final : public ByteSource {
public:
    PhotoBytes() = default;
    ~PhotoBytes() override;
    PhotoBytes(const PhotoBytes&) = delete;
    PhotoBytes& operator=(const PhotoBytes&) = delete;

    // Opens the photo at `path`, forgetting the last one. A regular file is
    // read from here on as far as fetch() asks, up to the size it had now:
    // one that grows meanwhile is its first bytes, one that shrinks what is
    // left of it, and one of gigabytes costs only what its decoder reads.
    // Pipes and character devices are read whole now, to their end, at
    // most kMaxStreamedPhotoBytes, waiting for a writer as long as it
    // takes, or until `stopRequested` says so (Interrupted). Failed for a
    // missing or empty file, a directory, or a stream that fails or is too
    // long.
    LoadEnd load(const std::string& path, const std::function<bool()>& stopRequested = {});

    size_t fetch(size_t want) override;
    const unsigned char* data() const override { return buffer_.data(); }

    const std::string& path() const { return path_; }
    // Whether the photo is a regular file (and can be opened again by its
    // name), not a stream.
    bool regularFile() const { return regularFile_; }
    // The bytes the photo has: a regular file's size when it was opened, or
    // all a stream gave.
    size_t size() const { return end_; }
    // All of its bytes, read now.
    size_t fetchAll() { return fetch(end_); }

    // The memory kept for the bytes, and giving it back.
    size_t capacity() const { return buffer_.capacity(); }
    void release();

private:
    void close();

    std::string path_;
    int fd_ = -1;  // a regular file, while it has bytes not read yet
    bool regularFile_ = false;
    HostBuffer buffer_;
    size_t read_ = 0, end_ = 0;
};

}  // namespace roughgc::detail
