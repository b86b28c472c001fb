// Prints the CUDA driver's and runtime's versions and exits 1, with one line
// saying why, when this machine cannot run binaries built against this
// runtime: no driver, a driver older than the runtime's major version, or
// no usable device. scripts/gpu-check builds it into .gpu/bin/, and
// scripts/gpu-run runs it on the lent machine before anything else.
#include <cstdio>

#include <cuda_runtime.h>

namespace {

void printVersion(const char* what, int v) { std::printf("%s %d.%d (%d)", what, v / 1000, v % 1000 / 10, v); }

}  // namespace

int main() {
    int driver = 0, runtime = 0;
    cudaDriverGetVersion(&driver);  // 0 when no driver is installed
    cudaRuntimeGetVersion(&runtime);
    std::printf("CUDA ");
    printVersion("driver", driver);
    printVersion(", runtime", runtime);
    std::printf("\n");
    std::fflush(stdout);

    if (driver == 0) {
        std::printf("no CUDA driver found; these binaries need a driver for CUDA %d.0 or newer\n", runtime / 1000);
        return 1;
    }
    // Within a major version the runtime runs on any driver of that major
    // version (minor version compatibility); across majors it does not.
    if (driver / 1000 < runtime / 1000) {
        std::printf("the driver supports CUDA %d.%d; these binaries need a driver for CUDA %d.0 or newer\n",
                    driver / 1000, driver % 1000 / 10, runtime / 1000);
        return 1;
    }
    int devices = 0;
    const cudaError_t err = cudaGetDeviceCount(&devices);
    if (err != cudaSuccess || devices == 0) {
        std::printf("no usable CUDA device: %s\n", err != cudaSuccess ? cudaGetErrorString(err) : "none found");
        return 1;
    }
    cudaDeviceProp prop{};
    if (cudaGetDeviceProperties(&prop, 0) == cudaSuccess)
        std::printf("device 0 of %d: %s, compute capability %d.%d\n", devices, prop.name, prop.major, prop.minor);
    return 0;
}
