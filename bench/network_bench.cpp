// One pass of the bundled grid network on a 384x224 frame, by each way the detector can
// run it: its own kernels (AVX2 where the CPU has it, and the portable build) and
// OpenCV's dnn module, which the direct path falls back to.
//
// Prints Google Benchmark's table (medians of 5 repetitions), then the ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "direct_network.h"
#include "median_reporter.h"
#include "synthetic_scene.h"

namespace {

const std::string kModel = std::string(FIRESMOKE_BENCH_MODEL_DIR) + "/firesmoke_grid.onnx";

cv::Mat Frame() {
    cv::Mat frame;
    cv::resize(firesmoke::RenderSyntheticFrame(0, {1920, 1080}), frame, {384, 224}, 0, 0, cv::INTER_AREA);
    return frame;
}

void Direct(benchmark::State& state, const firesmoke::kernels::ConvKernels* kernels) {
    if (kernels == nullptr) {
        state.SkipWithError("this CPU has no AVX2 and FMA");
        return;
    }
    cv::dnn::Net net = cv::dnn::readNetFromONNX(kModel);
    std::string why;
    const auto plan = firesmoke::DirectNetwork::Compile(net, {384, 224}, 3, *kernels, why);
    if (!plan) {
        state.SkipWithError(why.c_str());
        return;
    }
    const cv::Mat frame = Frame();
    firesmoke::DirectNetwork::Workspace ws;
    cv::Mat out;
    for (auto _ : state) {
        plan->Run(frame, out, ws);
        benchmark::DoNotOptimize(out.data);
    }
}

void BM_PassDirectBest(benchmark::State& state) {
    Direct(state, &firesmoke::kernels::BestConvKernels());
}
void BM_PassDirectPortable(benchmark::State& state) {
    Direct(state, &firesmoke::kernels::PortableConvKernels());
}

void BM_PassDnn(benchmark::State& state) {
    cv::dnn::Net net = cv::dnn::readNetFromONNX(kModel);
    const cv::Mat blob = cv::dnn::blobFromImage(Frame(), 1.0 / 255.0);
    for (auto _ : state) {
        net.setInput(blob);
        benchmark::DoNotOptimize(net.forward().data);
    }
}

BENCHMARK(BM_PassDirectBest)->Repetitions(5)->DisplayAggregatesOnly(true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PassDirectPortable)->Repetitions(5)->DisplayAggregatesOnly(true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PassDnn)->Repetitions(5)->DisplayAggregatesOnly(true)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto& m = reporter.medianMs;
    const auto best = m.find("BM_PassDirectBest/threads:1"), dnn = m.find("BM_PassDnn/threads:1");
    if (best != m.end() && dnn != m.end() && best->second > 0) {
        std::printf("\nmedian network pass at 384x224: direct/%s %.2f ms, OpenCV dnn %.2f ms: %.1fx faster\n",
                    firesmoke::kernels::BestConvKernels().name, best->second, dnn->second,
                    dnn->second / best->second);
    }
    const auto portable = m.find("BM_PassDirectPortable/threads:1");
    if (portable != m.end()) {
        std::printf("  the portable kernels (no AVX2): %.2f ms\n", portable->second);
    }
    return 0;
}
