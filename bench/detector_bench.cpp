// Speed of the detector: RunInference at 1080p and 4K against the cost of a
// plain resize, throughput of one and two cameras on as many threads, memory per
// camera, and heap allocations per frame once a camera is warm.
//
// Prints Google Benchmark's table (medians of 5 repetitions), then the ratios.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "VEKCustomFS.h"
#include "median_reporter.h"
#include "synthetic_scene.h"

// Heap allocations of the whole process, counted while g_counting is set. Every
// call into malloc's family counts, so OpenCV's buffers (cv::fastMalloc) count as
// well as operator new, which calls malloc. Glibc's own entry points do the work.
// The sanitizers replace malloc themselves: under them nothing is counted.
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define FIRESMOKE_COUNT_ALLOCATIONS 1
#endif

#ifdef FIRESMOKE_COUNT_ALLOCATIONS
static std::atomic<bool> g_counting{false};
static std::atomic<long> g_allocations{0};

namespace {
void CountAllocation() {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
}
}  // namespace

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);

void* malloc(std::size_t size) noexcept {
    CountAllocation();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    CountAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) noexcept {
    CountAllocation();
    return __libc_realloc(p, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
    CountAllocation();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    CountAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
    // The same checks as glibc: a power of two, a multiple of a pointer's size.
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0 || alignment == 0) {
        return EINVAL;
    }
    CountAllocation();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}
}
#endif

namespace {

constexpr int kSequence = 8;  // frames cycled through, so motion and tracks stay live

VEKCustomFS& Detector() {
    static VEKCustomFS* detector = [] {
        auto* d = new VEKCustomFS();
        std::string labels;
        if (!d->Initialize(FIRESMOKE_BENCH_MODEL_DIR, 0.5f, labels) || !d->OptimizeModel(true)) {
            std::fprintf(stderr, "cannot load the model from %s\n", FIRESMOKE_BENCH_MODEL_DIR);
            std::exit(1);
        }
        return d;
    }();
    return *detector;
}

const std::vector<cv::Mat>& Frames(cv::Size size) {
    static std::map<std::pair<int, int>, std::vector<cv::Mat>> cache;
    auto& frames = cache[{size.width, size.height}];
    if (frames.empty()) {
        for (int i = 0; i < kSequence; ++i) {
            frames.push_back(firesmoke::RenderSyntheticFrame(i, size));
        }
    }
    return frames;
}

void BM_Resize1080pTo480x270(benchmark::State& state) {
    const auto& frames = Frames({1920, 1080});
    cv::Mat small;
    int i = 0;
    for (auto _ : state) {
        cv::resize(frames[static_cast<std::size_t>(i++ % kSequence)], small, cv::Size(480, 270));
        benchmark::DoNotOptimize(small.data);
    }
    state.SetItemsProcessed(state.iterations());
}

// The same with area averaging, the interpolation that keeps small flames visible.
void BM_ResizeArea1080pTo480x270(benchmark::State& state) {
    const auto& frames = Frames({1920, 1080});
    cv::Mat small;
    int i = 0;
    for (auto _ : state) {
        cv::resize(frames[static_cast<std::size_t>(i++ % kSequence)], small, cv::Size(480, 270), 0, 0,
                   cv::INTER_AREA);
        benchmark::DoNotOptimize(small.data);
    }
    state.SetItemsProcessed(state.iterations());
}

void RunCamera(benchmark::State& state, cv::Size size, const std::string& camera) {
    const auto& frames = Frames(size);
    VEKCustomFS& detector = Detector();
    int i = 0;
    for (auto _ : state) {
        auto found = detector.RunInference(frames[static_cast<std::size_t>(i++ % kSequence)], camera);
        benchmark::DoNotOptimize(found.data());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_RunInference1080p(benchmark::State& state) {
    RunCamera(state, {1920, 1080}, "bench-1080p");
}
void BM_RunInference4K(benchmark::State& state) {
    RunCamera(state, {3840, 2160}, "bench-4k");
}

// One camera per thread: items per second over real time is the throughput.
void BM_CamerasOnThreads(benchmark::State& state) {
    RunCamera(state, {1920, 1080}, "bench-thread-" + std::to_string(state.thread_index()));
}

BENCHMARK(BM_Resize1080pTo480x270)
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResizeArea1080pTo480x270)
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RunInference1080p)->Repetitions(5)->DisplayAggregatesOnly(true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RunInference4K)->Repetitions(5)->DisplayAggregatesOnly(true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CamerasOnThreads)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

// Bytes of heap in use (malloc's own count, exact where resident memory is not:
// freed pages stay resident and get reused).
double HeapInUseKiB() {
    return static_cast<double>(mallinfo2().uordblks) / 1024.0;
}

#ifdef FIRESMOKE_COUNT_ALLOCATIONS
// Heap allocations per warm frame of one camera, over @p count frames.
struct Allocations {
    double mean = 0.0;
    long fewest = 0;  ///< a frame between the network's passes
    long most = 0;    ///< a frame with a pass
};
Allocations AllocationsPerFrame(const std::vector<cv::Mat>& frames, const std::string& camera, int count) {
    VEKCustomFS& detector = Detector();
    for (int i = 0; i < 32; ++i) {  // warm: buffers sized, tracks settled
        detector.RunInference(frames[static_cast<std::size_t>(i % kSequence)], camera);
    }
    Allocations a;
    a.fewest = -1;
    long total = 0;
    for (int i = 0; i < count; ++i) {
        g_allocations = 0;
        g_counting = true;
        detector.RunInference(frames[static_cast<std::size_t>(i % kSequence)], camera);
        g_counting = false;
        const long n = g_allocations.load();
        total += n;
        a.fewest = a.fewest < 0 ? n : std::min(a.fewest, n);
        a.most = std::max(a.most, n);
    }
    a.mean = static_cast<double>(total) / count;
    return a;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    Detector();
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto median = [&](const std::string& name) {
        const auto it = reporter.medianMs.find(name);
        return it == reporter.medianMs.end() ? 0.0 : it->second;
    };
    const double linear = median("BM_Resize1080pTo480x270/threads:1");
    const double area = median("BM_ResizeArea1080pTo480x270/threads:1");
    const double hd = median("BM_RunInference1080p/threads:1");
    const double uhd = median("BM_RunInference4K/threads:1");
    std::printf("\nmedian RunInference 1920x1080: %.2f ms (goal <= 10)\n", hd);
    std::printf(
        "  = %.1fx a bilinear resize to 480x270 (%.3f ms), %.1fx an area-averaging resize (%.3f ms); goal <= "
        "6x\n",
        linear > 0 ? hd / linear : 0.0, linear, area > 0 ? hd / area : 0.0, area);
    std::printf("median RunInference 3840x2160: %.2f ms (goal <= 25)\n", uhd);
    const double one = reporter.itemsPerSecond["BM_CamerasOnThreads/threads:1"];
    const double two = reporter.itemsPerSecond["BM_CamerasOnThreads/threads:2"];
    std::printf(
        "throughput: one camera %.0f frames/s, two cameras on two threads %.0f frames/s: %.2fx (goal >= "
        "1.3x)\n",
        one, two, one > 0 ? two / one : 0.0);

    // Memory per camera: cameras that have seen frames, against the heap in use.
    const auto& frames = Frames({1920, 1080});
    const double before = HeapInUseKiB();
    constexpr int kCameras = 100;
    for (int c = 0; c < kCameras; ++c) {
        for (int i = 0; i < 3; ++i) {
            Detector().RunInference(frames[static_cast<std::size_t>(i)], "memory-" + std::to_string(c));
        }
    }
    const double after = HeapInUseKiB();
    std::printf("state per camera: %.0f KiB of heap (%d cameras at 1920x1080; goal <= 1024 KiB)\n",
                (after - before) / kCameras, kCameras);

#ifdef FIRESMOKE_COUNT_ALLOCATIONS
    const cv::Mat gray(1080, 1920, CV_8UC3, cv::Scalar::all(128));
    const std::pair<const char*, Allocations> scenes[] = {
        {"the fire scene", AllocationsPerFrame(frames, "alloc-fire", 64)},
        {"a gray frame", AllocationsPerFrame(std::vector<cv::Mat>(kSequence, gray), "alloc-gray", 64)},
    };
    for (const auto& [scene, a] : scenes) {
        std::printf(
            "heap allocations per warm frame (malloc and operator new) on %s: %.2f on average, %ld "
            "between the network's passes, %ld on a pass\n",
            scene, a.mean, a.fewest, a.most);
    }
#else
    std::printf("heap allocations per warm frame: not counted under a sanitizer\n");
#endif
    Detector().Destroy();
    benchmark::Shutdown();
    return 0;
}
