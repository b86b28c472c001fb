// Device buffers for running the threshold search's evaluation pass on a
// metric map made up by a test.
#pragma once

#include <vector>

#include "CUDA_wrappers.h"
#include "detail/search/rough_host.h"
#include "detail/search/search.h"
#include "device_buffer.h"

using roughgc::detail::RoughPassBuffers;
using roughgc::detail::SearchTrace;
using roughgc::detail::kTableSize;

// The metric window is irrelevant once the map exists; any value fixes the
// averaged grid that the map came from.
constexpr size_t kWindow = 7;
constexpr unsigned char kGuardByte = 77;
constexpr size_t kGuardBytes = 16;

class PassFixture {
public:
    PassFixture(const std::vector<float>& metric, size_t rows, size_t cols)
        : rows_(rows),
          cols_(cols),
          metric_(metric),
          out_(std::vector<uchar>(rows * cols + kGuardBytes, kGuardByte)),
          quantiles_(kTableSize),
          coarse_((rows / 8) * (cols / 8)),
          fine_(4 * (rows / 8) * (cols / 8)),
          res_(std::vector<int>{0, 0}) {
        checkCudaErrors(cudaEventCreate(&stop_));
    }
    ~PassFixture() { cudaEventDestroy(stop_); }

    RoughPassBuffers buffers() const {
        return {metric_.get(), out_.get(), quantiles_.get(), coarse_.get(), fine_.get(), res_.get(),
                rows_ + kWindow, cols_ + kWindow, kWindow};
    }

    void setTable(const std::vector<float>& quantiles) { quantiles_.upload(quantiles); }
    void zeroCounters() { res_.upload({0, 0}); }
    std::vector<int> counters() const { return res_.download(); }

    // One pass at table index `index`; the counters are not reset.
    void pass(int index) { roughgc::detail::evaluationPass(buffers(), index, stop_); }

    SearchTrace search(const std::vector<float>& quantiles, float dim = 1.7f, float eps = 0.1f) {
        int res[2] = {-1, -1};
        return roughgc::detail::thresholdSearch(buffers(), res, quantiles.data(), kTableSize, dim, eps, stop_);
    }

    // The binary map, without the guard bytes behind it.
    std::vector<uchar> map() const {
        std::vector<uchar> all = out_.download();
        all.resize(rows_ * cols_);
        return all;
    }
    bool guardUntouched() const {
        const std::vector<uchar> all = out_.download();
        for (size_t i = rows_ * cols_; i < all.size(); ++i)
            if (all[i] != kGuardByte) return false;
        return true;
    }

private:
    size_t rows_, cols_;
    DeviceBuffer<float> metric_;
    DeviceBuffer<uchar> out_;
    DeviceBuffer<float> quantiles_;
    DeviceBuffer<uchar> coarse_, fine_;
    DeviceBuffer<int> res_;
    cudaEvent_t stop_ = nullptr;
};
