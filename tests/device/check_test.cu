// Checked runtime calls: the two-line report on standard error and status 1.
#include <gtest/gtest.h>

#include <string>

#include "CUDA_wrappers.h"

namespace {

__global__ void doNothing() {}

// A regular expression matching `text` literally and nothing else.
std::string exactly(const std::string& text) {
    std::string re = "^";
    for (char ch : text) {
        if (std::string("\\.^$|()[]{}*+?").find(ch) != std::string::npos) re += '\\';
        re += ch;
    }
    return re + "$";
}

std::string report(int line, const std::string& error, const std::string& call) {
    return "CUDA error at: " + std::string(__FILE__) + ":" + std::to_string(line) + "\n" + error + " " + call + "\n";
}

class CheckDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(CheckDeathTest, FailedAllocationReportsTheCallAndExitsWithOne) {
    const size_t huge = size_t{1} << 50;
    float* d_buffer = nullptr;
    const int line = __LINE__ + 1;
    EXPECT_EXIT(checkCudaErrors(cudaMalloc((void**)&d_buffer, sizeof(float) * huge)), ::testing::ExitedWithCode(1),
                exactly(report(line, "out of memory", "cudaMalloc((void**)&d_buffer, sizeof(float) * huge)")));
}

TEST_F(CheckDeathTest, RefusedLaunchSurfacesInTheCheckedLastError) {
    auto launchAndCheck = [] {
        LAUNCH_KERNEL(doNothing, dim3(1), dim3(1025));
        checkCudaErrors(cudaGetLastError());
    };
    const int line = __LINE__ - 2;
    EXPECT_EXIT(launchAndCheck(), ::testing::ExitedWithCode(1),
                exactly(report(line, "invalid configuration argument", "cudaGetLastError()")));
}

TEST(Check, SuccessfulCallReturnsQuietly) {
    testing::internal::CaptureStderr();
    checkCudaErrors(cudaSetDevice(0));
    checkCudaErrors(cudaGetLastError());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(FirstRun, SelectsTheDeviceAndLeavesNoError) {
    testing::internal::CaptureStderr();
    FirstRun();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace
