// Host memory on huge pages: large blocks mapped and advised, small ones
// left to malloc, a matrix's memory gone with its last user. (Under
// AddressSanitizer everything comes from malloc, so that the sanitizer
// guards its edges; the checks of mappings are skipped there.)
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <new>
#include <string>

#include "address_sanitizer.h"
#include "detail/device/host_memory.h"
#include "huge_pages.h"

namespace {

using roughgc::kHugePageBytes;
using roughgc::detail::freshMat;
using roughgc::detail::HostBuffer;

#if defined(ROUGHGC_ASAN)
constexpr bool kAllFromMalloc = true;
#else
constexpr bool kAllFromMalloc = false;
#endif

// The VmFlags of the first mapping that overlaps [p, p + bytes), between
// spaces; empty where nothing is mapped there.
std::string vmFlags(const void* p, size_t bytes = 1) {
    const auto begin = reinterpret_cast<uintptr_t>(p);
    std::ifstream smaps("/proc/self/smaps");
    bool overlaps = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long low = 0, high = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &low, &high) == 2) overlaps = low < begin + bytes && begin < high;
        else if (overlaps && line.rfind("VmFlags:", 0) == 0) return line.substr(8) + " ";
    }
    return "";
}
bool advisedHuge(const void* p) { return vmFlags(p).find(" hg ") != std::string::npos; }
bool atHugePage(const void* p) { return reinterpret_cast<uintptr_t>(p) % kHugePageBytes == 0; }

TEST(HostMemory, LargeBlocksStartOnAdvisedHugePagesAndSmallOnesInMalloc) {
    HostBuffer large, small;
    large.reserve(kHugePageBytes);
    small.reserve(kHugePageBytes - 1);
    const cv::Mat photo = freshMat(1080, 1920, CV_8UC3), row = freshMat(1, int{kHugePageBytes} - 1, CV_8UC1);
    EXPECT_FALSE(advisedHuge(small.data()));
    EXPECT_FALSE(advisedHuge(row.data));
    EXPECT_NE(cv::Mat::getDefaultAllocator(), roughgc::detail::hugePageAllocator());
    if (kAllFromMalloc) GTEST_SKIP() << "large blocks come from malloc under AddressSanitizer";
    EXPECT_TRUE(atHugePage(large.data()));
    EXPECT_TRUE(atHugePage(photo.data));
    std::ifstream modes("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string mode;
    std::getline(modes, mode);
    if (mode.find("[always]") == std::string::npos && mode.find("[madvise]") == std::string::npos) {
        GTEST_SKIP() << "the kernel offers no transparent huge pages: " << mode;
    }
    EXPECT_TRUE(advisedHuge(large.data()));
    EXPECT_TRUE(advisedHuge(photo.data));
}

TEST(HostBuffer, GrowthKeepsWhatItIsToldAndAFailedOneLosesNothing) {
    const auto fill = [](HostBuffer& b) { for (size_t i = 0; i < b.capacity(); ++i) b.data()[i] = i * 7 + i / 4099; };
    const auto kept = [](const HostBuffer& b, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (b.data()[i] != static_cast<unsigned char>(i * 7 + i / 4099)) return false;
        return true;
    };
    HostBuffer buffer;
    buffer.reserve(1000);
    fill(buffer);
    buffer.reserve(3 << 20, 600);  // out of malloc into a mapping
    EXPECT_TRUE(kept(buffer, 600));
    fill(buffer);
    const size_t had = buffer.capacity();
    buffer.reserve(9 << 20, std::numeric_limits<size_t>::max());  // all there is
    EXPECT_TRUE(kept(buffer, had));
    if (kAllFromMalloc) GTEST_SKIP() << "AddressSanitizer reports a malloc that cannot succeed instead of failing it";
    const unsigned char* const data = buffer.data();
    const size_t capacity = buffer.capacity();
    EXPECT_THROW(buffer.reserve(std::numeric_limits<size_t>::max() / 2, capacity), std::bad_alloc);
    EXPECT_EQ(buffer.data(), data);
    EXPECT_EQ(buffer.capacity(), capacity);
    EXPECT_TRUE(kept(buffer, had));
}

TEST(FreshMat, MemoryGoesWithTheLastCopyOrRegion) {
    cv::Mat original = freshMat(1500, 2000, CV_8UC3);  // 9 MB: not whole huge pages
    original.setTo(cv::Scalar(1, 2, 3));
    const uchar* const data = original.data;
    const size_t mapped = roughgc::hugePageLength(original.total() * original.elemSize());
    cv::Mat copy = original, region = original(cv::Rect(100, 200, 300, 400));
    region.setTo(cv::Scalar::all(9));
    original.release();
    EXPECT_EQ(copy.at<cv::Vec3b>(200, 100), cv::Vec3b(9, 9, 9));
    EXPECT_EQ(copy.at<cv::Vec3b>(1499, 1999), cv::Vec3b(1, 2, 3));
    { const cv::UMat borrowed = copy.getUMat(cv::ACCESS_READ); }
    copy.release();
    EXPECT_EQ(cv::countNonZero(region.clone().reshape(1) != 9), 0);
    if (kAllFromMalloc) GTEST_SKIP() << "matrices come from malloc under AddressSanitizer";
    EXPECT_NE(vmFlags(data, mapped), "");
    region.release();
    EXPECT_EQ(vmFlags(data, mapped), "");
}

}  // namespace
