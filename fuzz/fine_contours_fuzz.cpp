// fineContoursCUDA against a straightforward host evaluation of the fine
// map, and against sizes it must refuse without touching its buffers.
//
// Input: a mode byte. Not a multiple of 4: height and width (one byte each,
// 6 .. 40) and kc2 (one byte, 0 .. its largest accepted value). Otherwise:
// height, width and kc2 (FuzzInput::size), computed only when accepted and
// small. Then, for a computed case: the three kc2 x kc2 filter matrices
// (FuzzInput::number), one byte per rough cell and per caller mark (picked
// from kRough and kMarks), and the pixels' bytes, repeated to fill the image.
#include <cmath>
#include <limits>
#include <vector>

#include "CUDA_wrappers.h"
#include "detail/pixel/pixel_math.cuh"
#include "fuzz_input.h"

namespace {

constexpr size_t kMaxPixels = 4096;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Cells below 255 are marked; NaN is not.
constexpr float kRough[] = {0.0f, 254.9f, -1.0f, -kInf, 255.0f, 300.0f, kNaN, 255.0f};
// Positive values mark a pixel, whatever their size.
constexpr float kMarks[] = {0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.5f, 1e-45f, -1.0f, kNaN, -0.0f, kInf};

bool accepted(size_t height, size_t width, size_t kc2) {
    return height >= 6 && width >= 6 && kc2 <= 6 + std::min(height % 3, width % 3) && u128{height} * width <= INT_MAX &&
           height - kc2 <= 1048559;
}

// The kernel's own per-pixel arithmetic: the feature point of a pixel, its
// position in double precision (20 times a column passes the int range on a
// wide image).
float3 feature(uchar4 p, long row, long column) {
    return roughgc::detail::featurePoint(255 - p.x, 255 - p.y, 255 - p.z, 20.0 * static_cast<double>(row),
                                         20.0 * static_cast<double>(column));
}

struct Case {
    size_t height, width, kc2;
    std::vector<uchar4> image;
    std::vector<float> rough, marks, fmat1, fmat2, fmat3;
};

std::vector<float> hostFineMap(const Case& c) {
    const long rows = static_cast<long>(c.height - c.kc2), cols = static_cast<long>(c.width - c.kc2);
    const long roughRows = static_cast<long>(c.height / 3) - 2, roughCols = static_cast<long>(c.width / 3) - 2;
    std::vector<bool> marked(c.marks.size());
    for (size_t k = 0; k < c.marks.size(); ++k) marked[k] = c.marks[k] > 0.0f;
    // Row 0 and column 0 of the rough map are never used.
    for (long y = 1; y < roughRows; ++y)
        for (long x = 1; x < roughCols; ++x)
            if (c.rough[y * roughCols + x] < 255.0f)
                for (long i = 0; i < 3; ++i)
                    for (long j = 0; j < 3; ++j) marked[(3 * y + i) * cols + 3 * x + j] = true;

    const long n = static_cast<long>(c.kc2), half = n / 2;
    std::vector<float> map(c.marks.size(), 0.0f);
    for (long y = 0; y < rows; ++y)
        for (long x = 0; x < cols; ++x) {
            if (!marked[y * cols + x]) continue;
            float3 P{0, 0, 0}, Q{0, 0, 0}, R{0, 0, 0};
            for (long i = 0; i < n; ++i)
                for (long j = 0; j < n; ++j) {
                    const long r = y - half + i, q = x - half + j;
                    if (r < 0 || q < 0) continue;  // outside the image: left out
                    const size_t pixel = static_cast<size_t>(r) * c.width + static_cast<size_t>(q);
                    const float3 f = feature(c.image[pixel], r, q);
                    const float w1 = c.fmat1[i * n + j], w2 = c.fmat2[i * n + j], w3 = c.fmat3[i * n + j];
                    P = {P.x + w1 * f.x, P.y + w1 * f.y, P.z + w1 * f.z};
                    Q = {Q.x + w2 * f.x, Q.y + w2 * f.y, Q.z + w2 * f.z};
                    R = {R.x + w3 * f.x, R.y + w3 * f.y, R.z + w3 * f.z};
                }
            const float k = static_cast<float>(n);
            const float3 u{k * (R.x - Q.x), k * (R.y - Q.y), k * (R.z - Q.z)};
            const float3 v{k * (P.x - Q.x), k * (P.y - Q.y), k * (P.z - Q.z)};
            map[y * cols + x] = roughgc::detail::metricQuotient(u, v);
        }
    return map;
}

void compute(FuzzInput& in, size_t height, size_t width, size_t kc2) {
    Case c{height, width, kc2, {}, {}, {}, {}, {}, {}};
    for (std::vector<float>* fmat : {&c.fmat1, &c.fmat2, &c.fmat3}) {
        fmat->resize(kc2 * kc2);
        for (float& w : *fmat) w = in.number();
    }
    c.rough.resize((height / 3 - 2) * (width / 3 - 2));
    for (float& v : c.rough) v = kRough[in.byte() % std::size(kRough)];
    c.marks.resize((height - kc2) * (width - kc2));
    for (float& v : c.marks) v = kMarks[in.byte() % std::size(kMarks)];
    c.image.resize(height * width);
    const uint8_t* bytes = in.rest();
    const size_t n = in.left();
    for (size_t i = 0; i < c.image.size(); ++i) {
        auto at = [&](size_t k) { return n == 0 ? uint8_t{0} : bytes[(4 * i + k) % n]; };
        c.image[i] = make_uchar4(at(0), at(1), at(2), at(3));
    }

    const std::vector<float> expected = hostFineMap(c);
    std::vector<float> map = c.marks;
    fineContoursCUDA(c.image.data(), c.rough.data(), map.data(), c.fmat1.data(), c.fmat2.data(), c.fmat3.data(), height,
                     width, kc2);
    const size_t cols = width - kc2;
    for (size_t k = 0; k < map.size(); ++k) {
        // NaN included: both store the canonical one.
        const bool same = std::bit_cast<uint32_t>(map[k]) == std::bit_cast<uint32_t>(expected[k]);
        FUZZ_REQUIRE(same, "pixel (%zu, %zu): %a, expected %a (%zu x %zu, kc2 %zu)", k / cols, k % cols, map[k],
                     expected[k], width, height, kc2);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    if (in.byte() % 4 != 0) {
        const size_t height = 6 + in.byte() % 35, width = 6 + in.byte() % 35;
        const size_t kc2 = in.byte() % (7 + std::min(height % 3, width % 3));
        compute(in, height, width, kc2);
        return 0;
    }
    const size_t height = in.size(), width = in.size(), kc2 = in.size();
    if (!accepted(height, width, kc2)) {
        fineContoursCUDA(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, height, width, kc2);
    } else if (u128{height} * width <= kMaxPixels) {
        compute(in, height, width, kc2);
    }
    return 0;
}
