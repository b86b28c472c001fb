// What the fuzz targets share: reading a case from the fuzzer's bytes, sizes
// that reach the entry points' limits, and failing loudly.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

// Reads a case front to back. Past the end every value is zero, so every
// input, however short, is a case, and a seed is easy to write by hand.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), left_(size) {}

    template <class T>
    T take() {
        unsigned char bytes[sizeof(T)] = {};
        const size_t n = std::min(sizeof(T), left_);
        if (n != 0) std::memcpy(bytes, data_, n);
        data_ += n;
        left_ -= n;
        return std::bit_cast<T>(bytes);
    }
    uint8_t byte() { return take<uint8_t>(); }

    // lo .. hi, for ranges of at most 65536 values.
    size_t inRange(size_t lo, size_t hi) { return lo + take<uint16_t>() % (hi - lo + 1); }

    // Mostly small multiples of 1/8, where bins and sums are easy to hit; at
    // times any bit pattern, NaN and infinities included.
    float number() {
        if (byte() % 4 == 0) return std::bit_cast<float>(take<uint32_t>());
        return static_cast<float>(take<int16_t>()) / 8.0f;
    }

    // A size or window: small, any 64-bit value, or one next to a value
    // where the entry points' limits or 32-bit arithmetic change.
    size_t size() {
        static constexpr size_t kEdges[] = {
            0, 1, 2, 3, 6, 7, 8, 9, 2048, 15438, 46341, 65535, 1048559, 2097119, 3145679, size_t{65535} * 32,
            INT_MAX, size_t{1} << 31, size_t{1} << 32, size_t{1} << 62, SIZE_MAX / 3, SIZE_MAX};
        const uint8_t how = byte();
        if (how % 4 == 0) return take<uint64_t>();
        if (how % 4 == 1) return byte();
        const size_t edge = kEdges[take<uint8_t>() % std::size(kEdges)];
        return edge + static_cast<size_t>(static_cast<int64_t>(take<int8_t>() % 4));
    }

    const uint8_t* rest() const { return data_; }
    size_t left() const { return left_; }

private:
    const uint8_t* data_;
    size_t left_;
};

// A broken property is a finding: say which, and abort so that the fuzzer
// keeps the input.
#define FUZZ_REQUIRE(condition, ...)                                     \
    do {                                                                 \
        if (!(condition)) {                                              \
            std::fprintf(stderr, "fuzz check failed: %s: ", #condition); \
            std::fprintf(stderr, __VA_ARGS__);                           \
            std::fputc('\n', stderr);                                    \
            std::abort();                                                \
        }                                                                \
    } while (0)

// The histogram entry point prints a line per call; millions of them would
// bury the fuzzer's own report.
inline void silenceStandardOutput() {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

// A header may announce a huge picture (a 54-byte BMP can ask for 2.5 GB):
// OpenCV is to refuse it rather than the fuzzer run out of memory. OpenCV
// reads its limit once, when the library is loaded, so the target starts
// itself again with the limit in its environment.
inline void limitOpenCvPixels(char** argv) {
    static constexpr char kPixelLimit[] = "4194304";
    const char* limit = std::getenv("OPENCV_IO_MAX_IMAGE_PIXELS");
    if (limit == nullptr || std::strcmp(limit, kPixelLimit) != 0) {
        setenv("OPENCV_IO_MAX_IMAGE_PIXELS", kPixelLimit, 1);
        execv("/proc/self/exe", argv);
        std::perror("cannot start the target again with OPENCV_IO_MAX_IMAGE_PIXELS set");
        std::exit(1);
    }
}

// A new directory under $TMPDIR, removed when the fuzzer exits normally.
inline std::filesystem::path privateDirectory() {
    static std::filesystem::path made;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/roughgc-fuzz-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        std::perror("fuzz target: private directory");
        std::exit(1);
    }
    made = dir;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(made, ignored);
    });
    return made;
}

using u128 = unsigned __int128;
