// The direct path against cv::dnn, which is its reference: the bundled network and
// small networks built layer by layer at sizes that leave partial blocks of pixels
// and channels, with each set of kernels this build has.
#include "direct_network.h"

#include <gtest/gtest.h>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "synthetic_scene.h"

namespace {

namespace k = firesmoke::kernels;

// Both sum the same products in another order: the last digits differ, no more.
constexpr double kTolerance = 1e-5;

cv::Mat RandomImage(cv::Size size, int seed) {
    cv::Mat image(size, CV_8UC3);
    cv::RNG rng(static_cast<std::uint64_t>(seed));
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

cv::Mat RandomBlob(std::vector<int> shape, float scale, int seed) {
    cv::Mat blob(static_cast<int>(shape.size()), shape.data(), CV_32F);
    cv::RNG rng(static_cast<std::uint64_t>(seed));
    rng.fill(blob, cv::RNG::UNIFORM, -scale, scale);
    return blob;
}

// Largest difference between cv::dnn's output of @p net on @p image and the plan's.
double Gap(cv::dnn::Net& net, const firesmoke::DirectNetwork& plan, const cv::Mat& image) {
    net.setInput(cv::dnn::blobFromImage(image, 1.0 / 255.0));
    const cv::Mat theirs = net.forward().clone();
    firesmoke::DirectNetwork::Workspace ws;
    cv::Mat mine;
    plan.Run(image, mine, ws);
    EXPECT_EQ(mine.size, theirs.size) << "the direct path's output has another shape than cv::dnn's";
    if (mine.size != theirs.size) {
        return 1e9;
    }
    return cv::norm(mine.reshape(1, 1), theirs.reshape(1, 1), cv::NORM_INF);
}

struct ConvCase {
    const char* name;
    int inChannels, outChannels, group;
    int kernel, stride, dilation, pad;
    cv::Size input;
    const char* activation;  // "", "ReLU" or "Sigmoid"
    cv::Size output;         // what cv::dnn gives, so a parameter it ignored cannot pass unseen
};

// input -> convolution (-> activation)
cv::dnn::Net ConvNet(const ConvCase& c, int seed) {
    cv::dnn::Net net;
    cv::dnn::LayerParams conv;
    conv.name = "conv";
    conv.type = "Convolution";
    conv.set("kernel_size", c.kernel);
    conv.set("stride", c.stride);
    conv.set("dilation", c.dilation);
    conv.set("pad", c.pad);
    conv.set("num_output", c.outChannels);
    conv.set("group", c.group);
    conv.set("bias_term", true);
    conv.blobs = {RandomBlob({c.outChannels, c.inChannels / c.group, c.kernel, c.kernel}, 0.5f, seed),
                  RandomBlob({1, c.outChannels}, 0.2f, seed + 1)};
    net.addLayerToPrev(conv.name, conv.type, conv);
    if (std::string(c.activation) != "") {
        cv::dnn::LayerParams act;
        act.name = "act";
        act.type = c.activation;
        net.addLayerToPrev(act.name, act.type, act);
    }
    return net;
}

class DirectNetworkTest : public testing::TestWithParam<const k::ConvKernels*> {
protected:
    void SetUp() override {
        if (GetParam() == nullptr) {
            GTEST_SKIP() << "this build or CPU has no AVX2 and FMA";
        }
    }
    const k::ConvKernels& Kernels() const { return *GetParam(); }
};

TEST_P(DirectNetworkTest, TheBundledNetworkMatchesCvDnn) {
    const std::string file = std::string(FIRESMOKE_TEST_MODEL_DIR) + "/firesmoke_grid.onnx";
    cv::dnn::Net net = cv::dnn::readNetFromONNX(file);
    std::string why;
    const auto plan = firesmoke::DirectNetwork::Compile(net, {384, 224}, 3, Kernels(), why);
    ASSERT_NE(plan, nullptr) << why;
    EXPECT_EQ(plan->OutputShape(), (std::vector<int>{1, 2, 14, 24}));
    cv::Mat scene;
    cv::resize(firesmoke::RenderSyntheticFrame(0, {1920, 1080}), scene, {384, 224}, 0, 0, cv::INTER_AREA);
    const std::pair<const char*, cv::Mat> images[] = {
        {"noise", RandomImage({384, 224}, 1)},
        {"black", cv::Mat::zeros(224, 384, CV_8UC3)},
        {"white", cv::Mat(224, 384, CV_8UC3, cv::Scalar::all(255))},
        {"synthetic fire scene", scene},
    };
    for (const auto& [name, image] : images) {
        EXPECT_LE(Gap(net, *plan, image), kTolerance) << "on the " << name << " image";
    }
}

TEST_P(DirectNetworkTest, ConvolutionsAtOddSizesMatchCvDnn) {
    // Widths that are not a multiple of the 4-pixel blocks, channel counts that are not
    // a multiple of the 8-float vectors, and each kind of tap pattern.
    const ConvCase cases[] = {
        {"dense 3x3 stride 2, 3 -> 5 channels", 3, 5, 1, 3, 2, 1, 1, {13, 9}, "ReLU", {7, 5}},
        {"dense 1x1, 3 -> 20 channels", 3, 20, 1, 1, 1, 1, 0, {7, 5}, "Sigmoid", {7, 5}},
        {"dense 3x3 without padding", 3, 8, 1, 3, 1, 1, 0, {9, 6}, "", {7, 4}},
        {"dense 5x5 dilation 2", 3, 17, 1, 5, 1, 2, 4, {10, 7}, "ReLU", {10, 7}},
        {"depthwise 3x3 dilation 2", 3, 3, 3, 3, 1, 2, 2, {11, 6}, "ReLU", {11, 6}},
        {"depthwise 5x5 stride 2", 3, 3, 3, 5, 2, 1, 2, {10, 10}, "", {5, 5}},
    };
    for (const ConvCase& c : cases) {
        SCOPED_TRACE(c.name);
        cv::dnn::Net net = ConvNet(c, 7);
        std::string why;
        const auto plan = firesmoke::DirectNetwork::Compile(net, c.input, c.inChannels, Kernels(), why);
        ASSERT_NE(plan, nullptr) << why;
        EXPECT_EQ(plan->OutputShape(), (std::vector<int>{1, c.outChannels, c.output.height, c.output.width}));
        EXPECT_LE(Gap(net, *plan, RandomImage(c.input, 3)), kTolerance);
    }
}

TEST_P(DirectNetworkTest, ResidualsAndChannelAttentionMatchCvDnn) {
    // conv -> identity -> relu, then relu + conv (the sum reads the convolution before its
    // ReLU, so the ReLU must not be folded into it, identity or not), then
    // x * sigmoid(conv1x1(mean(x))).
    cv::dnn::Net net;
    auto add = [&](const char* name, const char* type, cv::dnn::LayerParams p, std::vector<int> from) {
        p.name = name;
        p.type = type;
        const int id = net.addLayer(name, type, p);
        for (std::size_t i = 0; i < from.size(); ++i) {
            net.connect(from[i], 0, id, static_cast<int>(i));
        }
        return id;
    };
    cv::dnn::LayerParams conv;
    conv.set("kernel_size", 3);
    conv.set("pad", 1);
    conv.set("num_output", 16);
    conv.set("bias_term", true);
    conv.blobs = {RandomBlob({16, 3, 3, 3}, 0.5f, 11), RandomBlob({1, 16}, 0.2f, 12)};
    const int c1 = add("conv", "Convolution", conv, {0});
    const int r1 = add("relu", "ReLU", {}, {add("pass", "Identity", {}, {c1})});
    const int sum = add("sum", "Eltwise", {}, {r1, c1});
    cv::dnn::LayerParams pool;
    pool.set("pool", "ave");
    pool.set("global_pooling", true);
    const int mean = add("mean", "Pooling", pool, {sum});
    cv::dnn::LayerParams fc;
    fc.set("kernel_size", 1);
    fc.set("num_output", 16);
    fc.set("bias_term", true);
    fc.blobs = {RandomBlob({16, 16, 1, 1}, 0.5f, 13), RandomBlob({1, 16}, 0.2f, 14)};
    const int gate = add("gate", "Sigmoid", {}, {add("fc", "Convolution", fc, {mean})});
    add("scale", "Scale", {}, {sum, gate});

    std::string why;
    const auto plan = firesmoke::DirectNetwork::Compile(net, {10, 6}, 3, Kernels(), why);
    ASSERT_NE(plan, nullptr) << why;
    EXPECT_LE(Gap(net, *plan, RandomImage({10, 6}, 5)), kTolerance);
}

INSTANTIATE_TEST_SUITE_P(KernelSets, DirectNetworkTest,
                         testing::Values(&k::PortableConvKernels(), k::Avx2ConvKernels()),
                         [](const testing::TestParamInfo<const k::ConvKernels*>& info) {
                             return std::string(info.index == 0 ? "portable" : "avx2");
                         });

TEST(DirectNetworkPlan, ALayerItCannotRunIsNamed) {
    struct Case {
        const char* name;
        const char* type;
        cv::dnn::LayerParams params;
    };
    cv::dnn::LayerParams maxPool;
    maxPool.set("pool", "max");
    maxPool.set("kernel_size", 2);
    maxPool.set("stride", 2);
    cv::dnn::LayerParams leaky;
    leaky.set("negative_slope", 0.1);
    cv::dnn::LayerParams grouped;
    grouped.set("kernel_size", 1);
    grouped.set("num_output", 4);
    grouped.set("group", 2);
    grouped.blobs = {RandomBlob({4, 2, 1, 1}, 0.5f, 1)};
    cv::dnn::LayerParams softmax;
    const Case cases[] = {
        {"pool", "Pooling", maxPool},
        {"leaky", "ReLU", leaky},
        {"grouped", "Convolution", grouped},
        {"softmax", "Softmax", softmax},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cv::dnn::Net net;
        cv::dnn::LayerParams widen;  // four channels, so that the grouped convolution has two groups of two
        widen.set("kernel_size", 1);
        widen.set("num_output", 4);
        widen.set("bias_term", false);
        widen.blobs = {RandomBlob({4, 3, 1, 1}, 0.5f, 2)};
        net.addLayerToPrev("widen", "Convolution", widen);
        cv::dnn::LayerParams p = c.params;
        net.addLayerToPrev(c.name, c.type, p);
        std::string why;
        EXPECT_EQ(firesmoke::DirectNetwork::Compile(net, {8, 8}, 3, k::PortableConvKernels(), why), nullptr);
        EXPECT_NE(why.find(std::string("'") + c.name + "' (" + c.type + ")"), std::string::npos) << why;
    }
}

}  // namespace
