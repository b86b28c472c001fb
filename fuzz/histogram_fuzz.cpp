// histogramCUDA against the binning rule evaluated on the host, and against
// sizes it must refuse without touching its buffers.
//
// Input: a mode byte. Even: height and width (one byte each, 0 .. 40), N
// (two bytes), begin, end, then the elements (FuzzInput::number). Odd:
// height, width and N (FuzzInput::size) and, if the call must compute, the
// elements.
#include <cmath>
#include <vector>

#include "CUDA_wrappers.h"
#include "fuzz_input.h"

namespace {

// The largest matrix computed in full; bigger accepted ones are skipped,
// since they only cost time.
constexpr size_t kMaxElements = 4096;

bool accepted(size_t height, size_t width, size_t N) {
    const u128 elements = u128{height} * width;
    return N >= 1 && N <= 2048 && elements <= INT_MAX && height <= 2097119;
}

// Bin k holds the quotients that truncate to k: k <= q < k + 1, and for
// bin 0 also -1 < q < 0. A NaN quotient lands in bin 0.
void hostHistogram(const std::vector<float>& matr, float begin, float end, size_t N, std::vector<int>& hist, int& cnt) {
    const float w = (end - begin) / static_cast<float>(N);
    for (const float v : matr) {
        const float q = v / w;
        long bin = -1;
        if (std::isnan(q)) {
            bin = 0;
        } else if (q > -1.0f && q < static_cast<float>(N)) {
            bin = static_cast<long>(q);
        }
        if (bin < 0) continue;
        ++hist[bin];
        ++cnt;
    }
}

void compute(FuzzInput& in, size_t height, size_t width, size_t N, float begin, float end) {
    std::vector<float> matr(height * width);
    for (float& v : matr) v = in.number();
    // Counts are added to what the caller's bins hold.
    std::vector<int> hist(N);
    for (size_t k = 0; k < N; ++k) hist[k] = static_cast<int>(k % 5);
    int cnt = 3;
    std::vector<int> expected = hist;
    int expectedCnt = cnt;
    hostHistogram(matr, begin, end, N, expected, expectedCnt);

    histogramCUDA(matr.data(), hist.data(), &cnt, height, width, begin, end, N);
    for (size_t k = 0; k < N; ++k)
        FUZZ_REQUIRE(hist[k] == expected[k], "bin %zu of %zu: %d, expected %d (%zu x %zu, begin %a, end %a)", k, N,
                     hist[k], expected[k], height, width, begin, end);
    FUZZ_REQUIRE(cnt == expectedCnt, "count %d, expected %d", cnt, expectedCnt);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    if (in.byte() % 2 == 0) {
        const size_t height = in.byte() % 41, width = in.byte() % 41;
        const size_t N = in.inRange(1, 2048);
        const float begin = in.number(), end = in.number();
        compute(in, height, width, N, begin, end);
        return 0;
    }
    const size_t height = in.size(), width = in.size(), N = in.size();
    const u128 elements = u128{height} * width;
    if (!accepted(height, width, N) || elements == 0) {
        // Refused, or nothing to count: a buffer touched is a crash.
        histogramCUDA(nullptr, nullptr, nullptr, height, width, 0.0f, 1.0f, N);
    } else if (elements <= kMaxElements) {
        compute(in, height, width, N, 0.0f, static_cast<float>(N));
    }
    return 0;
}
