// The bytes of an encoded photo as a decoder reads them: from the start on,
// and, for a file, only as far as the decoder goes, so that a photo followed
// by gigabytes of anything else costs what the photo costs.
#pragma once

#include <algorithm>
#include <cstddef>

namespace roughgc::detail {

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Makes the first `want` bytes readable at data(), or all there are if
    // there are fewer, and returns how many are. data() may move on each
    // call, never otherwise.
    virtual size_t fetch(size_t want) = 0;
    virtual const unsigned char* data() const = 0;
};

// Bytes that are all in memory already.
class MemoryBytes final : public ByteSource {
public:
    MemoryBytes() = default;
    MemoryBytes(const unsigned char* data, size_t size) : data_(data), size_(size) {}

    size_t fetch(size_t want) override { return std::min(want, size_); }
    const unsigned char* data() const override { return data_; }

private:
    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace roughgc::detail
