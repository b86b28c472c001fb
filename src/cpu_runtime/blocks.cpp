// Execution of kernel launches on the CPU: blocks spread over the cores with
// OpenMP, and the threads of a block that meets __syncthreads() run as
// fibers (Boost.Context), so that every thread of the block really waits at
// the barrier until all of them have arrived.
#include <omp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/context/detail/fcontext.hpp>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "address_sanitizer.h"
#include "cuda_runtime_cpu.h"

#if defined(ROUGHGC_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

namespace fc = boost::context::detail;

// Virtual size of one fiber stack. Only the pages a kernel touches are ever
// committed, so this can be generous.
constexpr size_t kStackSize = 256 * 1024;

enum class FiberState { AtBarrier, Done };

struct Fiber {
    char* stack = nullptr;  // lowest usable address; a guard page lies below
    fc::fcontext_t context = nullptr;
    FiberState state = FiberState::Done;
    uint3 tid{};
    void* fakeStack = nullptr;  // AddressSanitizer's bookkeeping while switched out
};

// The fibers of the OS thread that runs a block, reused from block to block.
struct Scheduler {
    std::deque<Fiber> fibers;  // grows without moving fibers that are suspended
    fc::fcontext_t home = nullptr;  // the scheduler's context while a fiber runs
    Fiber* current = nullptr;
    cpurt::ThreadFn fn = nullptr;
    void* kernel = nullptr;
    bool misuse = false;        // a block of this thread misused the barrier
    bool staleStacks = false;   // fibers were abandoned mid-kernel
    const void* homeStack = nullptr;
    size_t homeStackSize = 0;

    ~Scheduler() {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        for (Fiber& f : fibers) munmap(f.stack - page, kStackSize + page);
    }
};

thread_local Scheduler sched;

char* newStack() {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, kStackSize + page, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (p == MAP_FAILED) {
        std::fprintf(stderr, "cpu runtime: cannot map a fiber stack\n");
        std::abort();
    }
    mprotect(p, page, PROT_NONE);  // an overflow faults instead of corrupting a neighbour
    return static_cast<char*>(p) + page;
}

// AddressSanitizer must be told about every stack switch.
void beginSwitch([[maybe_unused]] void** fakeStack, [[maybe_unused]] const void* bottom,
                 [[maybe_unused]] size_t size) {
#ifdef ROUGHGC_ASAN
    __sanitizer_start_switch_fiber(fakeStack, bottom, size);
#endif
}
void endSwitch([[maybe_unused]] void* fakeStack, [[maybe_unused]] const void** oldBottom,
               [[maybe_unused]] size_t* oldSize) {
#ifdef ROUGHGC_ASAN
    __sanitizer_finish_switch_fiber(fakeStack, oldBottom, oldSize);
#endif
}

// Inside a fiber: give control back to the scheduler. Returns when the
// scheduler resumes this fiber; never returns for a finished one.
void yieldToScheduler(Fiber& f, bool finished) {
    beginSwitch(finished ? nullptr : &f.fakeStack, sched.homeStack, sched.homeStackSize);
    const fc::transfer_t t = fc::jump_fcontext(sched.home, nullptr);
    sched.home = t.fctx;
    endSwitch(f.fakeStack, &sched.homeStack, &sched.homeStackSize);
}

void fiberMain(fc::transfer_t t) {
    sched.home = t.fctx;
    Fiber& f = *static_cast<Fiber*>(t.data);
    endSwitch(nullptr, &sched.homeStack, &sched.homeStackSize);
    sched.fn(sched.kernel, f.tid, true);
    f.state = FiberState::Done;
    yieldToScheduler(f, true);
    std::abort();  // a finished fiber is never resumed
}

// In the scheduler: run `f` until it waits at a barrier or finishes.
void resume(Fiber& f) {
    sched.current = &f;
    void* fakeStack = nullptr;
    beginSwitch(&fakeStack, f.stack, kStackSize);
    const fc::transfer_t t = fc::jump_fcontext(f.context, &f);
    endSwitch(fakeStack, nullptr, nullptr);
    f.context = t.fctx;
    sched.current = nullptr;
}

void start(Fiber& f, uint3 tid) {
    f.tid = tid;
    f.fakeStack = nullptr;
    f.state = FiberState::AtBarrier;
    f.context = fc::make_fcontext(f.stack + kStackSize, kStackSize, &fiberMain);
    resume(f);
}

void ensureFibers(size_t n) {
    if (sched.staleStacks) {
#ifdef ROUGHGC_ASAN
        for (Fiber& f : sched.fibers) __asan_unpoison_memory_region(f.stack, kStackSize);
#endif
        sched.staleStacks = false;
    }
    while (sched.fibers.size() < n) {
        Fiber f;
        f.stack = newStack();
        sched.fibers.push_back(f);
    }
}

uint3 threadOf(size_t i, dim3 block) {
    return uint3{static_cast<unsigned>(i % block.x), static_cast<unsigned>((i / block.x) % block.y),
                 static_cast<unsigned>(i / (static_cast<size_t>(block.x) * block.y))};
}

// Runs the rest of a block whose thread 0 waits at its first barrier. Every
// round releases the barrier: each waiting thread runs on to its next
// barrier or to its end. A block in which some threads have finished while
// others wait would hang on a GPU; here it is abandoned and reported.
void runBarrierBlock(dim3 block, size_t n) {
    ensureFibers(n);
    for (size_t i = 1; i < n; ++i) start(sched.fibers[i], threadOf(i, block));
    for (;;) {
        size_t done = 0;
        for (size_t i = 0; i < n; ++i) done += sched.fibers[i].state == FiberState::Done;
        if (done == n) return;
        if (done != 0) {
            std::fprintf(stderr, "cpu runtime: %zu of %zu threads of a block returned while the others wait at "
                                 "__syncthreads()\n", done, n);
            sched.misuse = true;
            sched.staleStacks = true;
            return;
        }
        for (size_t i = 0; i < n; ++i) {
            Fiber& f = sched.fibers[i];
            sched.fn(sched.kernel, f.tid, false);
            resume(f);
        }
    }
}

}  // namespace

void __syncthreads() {
    Fiber* f = sched.current;
    if (f == nullptr) {
        // Reached from a plain loop: thread 0 of this block ended without a
        // barrier, so the barrier can never be complete.
        sched.misuse = true;
        return;
    }
    f->state = FiberState::AtBarrier;
    yieldToScheduler(*f, false);
}

namespace cpurt::detail {

bool invalidConfiguration(dim3 grid, dim3 block) {
    if (grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 || block.z == 0) return true;
    if (block.x > 1024 || block.y > 1024 || block.z > 64) return true;
    if (static_cast<unsigned long long>(block.x) * block.y * block.z > 1024) return true;
    return grid.x > 2147483647u || grid.y > 65535 || grid.z > 65535;
}

bool runBlockOnFibersIfNeeded(ThreadFn fn, void* kernel, dim3 block) {
    const size_t n = static_cast<size_t>(block.x) * block.y * block.z;
    ensureFibers(1);  // the others only if the block turns out to need barriers
    sched.fn = fn;
    sched.kernel = kernel;
    start(sched.fibers[0], uint3{0, 0, 0});
    if (sched.fibers[0].state == FiberState::Done) return false;
    runBarrierBlock(block, n);
    return true;
}

cudaError_t runBlocks(long blockCount, long threadsPerBlock, BlockRangeFn run, void* launch) {
    // Below this many emulated threads a launch takes tens of microseconds on
    // one core: less than waking the others costs, and far less than waiting
    // for one of them that the OS has descheduled on a busy machine.
    constexpr long kParallelThreshold = 32768;
    std::atomic<bool> misuse{false};
    const int threads = omp_get_max_threads();
    if (threads <= 1 || blockCount <= 1 || blockCount * threadsPerBlock < kParallelThreshold) {
        sched.misuse = false;
        run(launch, 0, blockCount);
        misuse = sched.misuse;
    } else {
        // Several chunks per core even out blocks of unequal cost.
        const long chunks = std::min<long>(blockCount, 16L * threads);
#pragma omp parallel
        {
            sched.misuse = false;
#pragma omp for schedule(dynamic, 1)
            for (long c = 0; c < chunks; ++c) run(launch, blockCount * c / chunks, blockCount * (c + 1) / chunks);
            if (sched.misuse) misuse = true;
        }
    }
    return misuse ? cudaErrorLaunchFailure : cudaSuccess;
}

}  // namespace cpurt::detail
