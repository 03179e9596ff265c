#include "direct_network.h"

#include <algorithm>
#include <map>
#include <opencv2/dnn/all_layers.hpp>

namespace firesmoke {

namespace {

using kernels::Activation;

// Arena offsets are kept to whole cache lines.
constexpr std::size_t kAlignFloats = 16;

// cv::dnn's PoolingLayer::type for average pooling.
constexpr int kAveragePooling = 1;

std::string Describe(const cv::Ptr<cv::dnn::Layer>& layer) {
    return "layer '" + layer->name + "' (" + layer->type + ")";
}

}  // namespace

std::unique_ptr<DirectNetwork> DirectNetwork::Compile(cv::dnn::Net& net, cv::Size input, int channels,
                                                      const kernels::ConvKernels& kernels, std::string& why) {
    std::unique_ptr<DirectNetwork> plan(new DirectNetwork());
    plan->kernels_ = &kernels;
    TensorPlan image;
    image.height = input.height;
    image.width = input.width;
    image.channels = image.pixelStride = channels;
    plan->tensors_.push_back(image);

    // Who reads whom: a ReLU folds into the convolution before it only when it is that
    // convolution's one reader. An Identity layer passes its input on, so its readers
    // count as readers of the layer it names (its root).
    std::vector<int> ids;
    for (const std::string& name : net.getLayerNames()) {
        ids.push_back(net.getLayerId(name));
    }
    std::map<int, std::vector<int>> inputsOf;
    std::map<int, int> root{{0, 0}}, readers;
    for (int id : ids) {
        for (const cv::Ptr<cv::dnn::Layer>& src : net.getLayerInputs(id)) {
            inputsOf[id].push_back(net.getLayerId(src->name));
        }
        const std::vector<int>& from = inputsOf[id];
        const bool alias = net.getLayer(id)->type == "Identity" && from.size() == 1;
        root[id] = alias && root.count(from[0]) != 0 ? root[from[0]] : id;
        if (!alias) {
            for (int srcId : from) {
                ++readers[root.count(srcId) != 0 ? root[srcId] : srcId];
            }
        }
    }
    const std::vector<int> outputs = net.getUnconnectedOutLayers();
    if (outputs.size() != 1) {
        why = "the network has " + std::to_string(outputs.size()) + " outputs, not one";
        return nullptr;
    }
    ++readers[root[outputs.front()]];  // the caller reads it too

    std::map<int, int> tensorOf{{0, 0}};  // layer id -> tensor; layer 0 is the input
    std::vector<int> producer{-1};        // tensor -> the step that writes it
    auto addTensor = [&](int height, int width, int ch, int step) {
        TensorPlan t;
        t.height = height;
        t.width = width;
        t.channels = ch;
        t.pixelStride = kernels::PaddedChannels(ch);
        plan->tensors_.push_back(t);
        producer.push_back(step);
        return static_cast<int>(plan->tensors_.size()) - 1;
    };

    for (int id : ids) {
        const cv::Ptr<cv::dnn::Layer> layer = net.getLayer(id);
        const std::vector<int>& from = inputsOf[id];
        std::vector<int> in;
        for (int srcId : from) {
            const auto it = tensorOf.find(srcId);
            if (it == tensorOf.end()) {
                why = Describe(layer) + " reads a layer that comes after it";
                return nullptr;
            }
            in.push_back(it->second);
        }
        const std::string& type = layer->type;
        const int step = static_cast<int>(plan->steps_.size());
        Step s;
        if (type == "Identity" && in.size() == 1) {
            tensorOf[id] = in[0];
            continue;
        }
        if ((type == "ReLU" || type == "Sigmoid") && in.size() == 1) {
            const Activation act = type == "ReLU" ? Activation::kRelu : Activation::kSigmoid;
            if (act == Activation::kRelu) {
                const auto* relu = dynamic_cast<const cv::dnn::ReLULayer*>(layer.get());
                if (relu == nullptr || relu->negativeSlope != 0.0f) {
                    why = Describe(layer) + " has a negative slope";
                    return nullptr;
                }
            }
            const int p = producer[static_cast<std::size_t>(in[0])];
            if (p >= 0 && readers[root[from[0]]] == 1 &&
                (plan->steps_[static_cast<std::size_t>(p)].kind == StepKind::kDense ||
                 plan->steps_[static_cast<std::size_t>(p)].kind == StepKind::kDepthwise) &&
                plan->steps_[static_cast<std::size_t>(p)].activation == Activation::kNone) {
                plan->steps_[static_cast<std::size_t>(p)].activation = act;
                tensorOf[id] = in[0];
                continue;
            }
            const TensorPlan t = plan->tensors_[static_cast<std::size_t>(in[0])];
            s.kind = StepKind::kActivate;
            s.activation = act;
            s.input = in[0];
            s.output = addTensor(t.height, t.width, t.channels, step);
        } else if (type == "Convolution" && in.size() == 1) {
            const auto* conv = dynamic_cast<const cv::dnn::BaseConvolutionLayer*>(layer.get());
            if (conv == nullptr || layer->blobs.empty() || layer->blobs[0].dims != 4 ||
                layer->blobs[0].type() != CV_32F || conv->kernel_size.size() != 2 || !conv->padMode.empty() ||
                conv->strides.size() != 2 || conv->dilations.size() != 2 || conv->pads_begin.size() != 2 ||
                conv->pads_end.size() != 2) {
                why = Describe(layer) + " is not a 2-D convolution with float weights and explicit padding";
                return nullptr;
            }
            const cv::Mat& w = layer->blobs[0];
            const int cout = w.size[0], cinPerGroup = w.size[1], kh = w.size[2], kw = w.size[3];
            TensorPlan& src = plan->tensors_[static_cast<std::size_t>(in[0])];
            const bool depthwise = cinPerGroup == 1 && src.channels > 1 && cout == src.channels;
            if (!depthwise && cinPerGroup != src.channels) {
                why = Describe(layer) + " is a grouped convolution that is neither dense nor depthwise";
                return nullptr;
            }
            kernels::ConvGeometry& g = s.geometry;
            g.kernelY = kh;
            g.kernelX = kw;
            g.strideY = static_cast<int>(conv->strides[0]);
            g.strideX = static_cast<int>(conv->strides[1]);
            g.dilationY = static_cast<int>(conv->dilations[0]);
            g.dilationX = static_cast<int>(conv->dilations[1]);
            g.padY = static_cast<int>(conv->pads_begin[0]);
            g.padX = static_cast<int>(conv->pads_begin[1]);
            const int padBottom = static_cast<int>(conv->pads_end[0]),
                      padRight = static_cast<int>(conv->pads_end[1]);
            if (static_cast<int>(conv->kernel_size[0]) != kh ||
                static_cast<int>(conv->kernel_size[1]) != kw || g.strideY < 1 || g.strideX < 1 ||
                g.dilationY < 1 || g.dilationX < 1) {
                why = Describe(layer) + " has a kernel, stride or dilation it cannot run";
                return nullptr;
            }
            const int oh = (src.height + g.padY + padBottom - g.dilationY * (kh - 1) - 1) / g.strideY + 1;
            const int ow = (src.width + g.padX + padRight - g.dilationX * (kw - 1) - 1) / g.strideX + 1;
            if (oh < 1 || ow < 1) {
                why = Describe(layer) + " has no output for a " + std::to_string(src.width) + "x" +
                      std::to_string(src.height) + " input";
                return nullptr;
            }
            // The input's zero margin covers the padding on every side.
            src.margin = std::max({src.margin, g.padY, g.padX, padBottom, padRight});
            const int padded = kernels::PaddedChannels(cout);
            s.bias.assign(static_cast<std::size_t>(padded), 0.0f);
            if (layer->blobs.size() > 1) {
                const cv::Mat& b = layer->blobs[1];
                if (b.type() != CV_32F || b.total() != static_cast<std::size_t>(cout)) {
                    why = Describe(layer) + " has a bias that is not one float per output channel";
                    return nullptr;
                }
                std::copy(b.ptr<float>(), b.ptr<float>() + cout, s.bias.begin());
            }
            if (depthwise) {
                s.kind = StepKind::kDepthwise;
                src.pixelStride = std::max(src.pixelStride, padded);  // read eight channels at a time
                s.weights.assign(static_cast<std::size_t>(kh * kw * padded), 0.0f);
                for (int c = 0; c < cout; ++c) {
                    for (int ky = 0; ky < kh; ++ky) {
                        for (int kx = 0; kx < kw; ++kx) {
                            const int at[] = {c, 0, ky, kx};
                            s.weights[static_cast<std::size_t>((ky * kw + kx) * padded + c)] =
                                w.at<float>(at);
                        }
                    }
                }
            } else {
                s.kind = StepKind::kDense;
                const int cin = src.channels;
                s.weights.assign(static_cast<std::size_t>(kh * kw * cin * padded), 0.0f);
                for (int co = 0; co < cout; ++co) {
                    for (int ci = 0; ci < cin; ++ci) {
                        for (int ky = 0; ky < kh; ++ky) {
                            for (int kx = 0; kx < kw; ++kx) {
                                const int at[] = {co, ci, ky, kx};
                                s.weights[static_cast<std::size_t>(((ky * kw + kx) * cin + ci) * padded +
                                                                   co)] = w.at<float>(at);
                            }
                        }
                    }
                }
            }
            s.input = in[0];
            s.output = addTensor(oh, ow, cout, step);
        } else if (type == "Eltwise" && in.size() == 2) {
            const TensorPlan a = plan->tensors_[static_cast<std::size_t>(in[0])];
            const TensorPlan b = plan->tensors_[static_cast<std::size_t>(in[1])];
            if (a.height != b.height || a.width != b.width || a.channels != b.channels) {
                why = Describe(layer) + " adds tensors of different shapes";
                return nullptr;
            }
            s.kind = StepKind::kAdd;
        } else if (type == "Scale" && in.size() == 2 && layer->blobs.empty()) {
            const auto* scale = dynamic_cast<const cv::dnn::ScaleLayer*>(layer.get());
            const TensorPlan a = plan->tensors_[static_cast<std::size_t>(in[0])];
            const TensorPlan b = plan->tensors_[static_cast<std::size_t>(in[1])];
            if (scale == nullptr || scale->hasBias || b.height != 1 || b.width != 1 ||
                b.channels != a.channels) {
                why = Describe(layer) + " is not a per-channel scale by a 1x1 tensor";
                return nullptr;
            }
            s.kind = StepKind::kScale;
        } else if (type == "Pooling" && in.size() == 1) {
            const auto* pool = dynamic_cast<const cv::dnn::PoolingLayer*>(layer.get());
            if (pool == nullptr || pool->type != kAveragePooling || !pool->globalPooling ||
                std::count(pool->isGlobalPooling.begin(), pool->isGlobalPooling.end(), false) != 0) {
                why = Describe(layer) + " is not a global average pooling";
                return nullptr;
            }
            s.kind = StepKind::kGlobalMean;
            s.input = in[0];
            s.output = addTensor(1, 1, plan->tensors_[static_cast<std::size_t>(in[0])].channels, step);
        } else {
            why = Describe(layer) + " is not a layer that the direct path runs";
            return nullptr;
        }
        if (s.kind == StepKind::kAdd || s.kind == StepKind::kScale) {  // shaped like their first input
            const TensorPlan& a = plan->tensors_[static_cast<std::size_t>(in[0])];
            s.input = in[0];
            s.other = in[1];
            s.output = addTensor(a.height, a.width, a.channels, step);
        }
        tensorOf[id] = s.output;
        plan->steps_.push_back(std::move(s));
    }
    plan->output_ = tensorOf.at(outputs.front());
    plan->PlanMemory();
    return plan;
}

void DirectNetwork::PlanMemory() {
    for (TensorPlan& t : tensors_) {
        t.lastUse = -1;
    }
    for (std::size_t i = 0; i < steps_.size(); ++i) {
        for (int t : {steps_[i].input, steps_[i].other}) {
            if (t >= 0) {
                tensors_[static_cast<std::size_t>(t)].lastUse = static_cast<int>(i);
            }
        }
    }
    tensors_[static_cast<std::size_t>(output_)].lastUse = static_cast<int>(steps_.size());

    // Tensors share buffers once their last reader has run: a step's output gets a
    // free buffer (the smallest that fits, else the largest, grown) before its inputs
    // are given back, so the two never overlap.
    std::vector<std::size_t> sizes;
    std::vector<int> bufferOf(tensors_.size(), -1);
    std::vector<int> free;
    auto floats = [](const TensorPlan& t) {
        return static_cast<std::size_t>(t.height + 2 * t.margin) *
               static_cast<std::size_t>(t.width + 2 * t.margin) * static_cast<std::size_t>(t.pixelStride);
    };
    auto acquire = [&](int tensor) {
        const std::size_t need = floats(tensors_[static_cast<std::size_t>(tensor)]);
        auto best = free.end();
        for (auto it = free.begin(); it != free.end(); ++it) {
            const std::size_t have = sizes[static_cast<std::size_t>(*it)];
            if (best == free.end()) {
                best = it;
                continue;
            }
            const std::size_t bestHave = sizes[static_cast<std::size_t>(*best)];
            const bool fits = have >= need, bestFits = bestHave >= need;
            if ((fits && (!bestFits || have < bestHave)) || (!fits && !bestFits && have > bestHave)) {
                best = it;
            }
        }
        int buffer;
        if (best == free.end()) {
            buffer = static_cast<int>(sizes.size());
            sizes.push_back(need);
        } else {
            buffer = *best;
            free.erase(best);
            sizes[static_cast<std::size_t>(buffer)] = std::max(sizes[static_cast<std::size_t>(buffer)], need);
        }
        bufferOf[static_cast<std::size_t>(tensor)] = buffer;
    };
    auto release = [&](int tensor, int step) {
        if (tensor >= 0 && tensors_[static_cast<std::size_t>(tensor)].lastUse == step &&
            std::find(free.begin(), free.end(), bufferOf[static_cast<std::size_t>(tensor)]) == free.end()) {
            free.push_back(bufferOf[static_cast<std::size_t>(tensor)]);
        }
    };
    acquire(0);
    for (std::size_t i = 0; i < steps_.size(); ++i) {
        const Step& s = steps_[i];
        acquire(s.output);
        release(s.input, static_cast<int>(i));
        release(s.other, static_cast<int>(i));
    }
    std::vector<std::size_t> offsets(sizes.size());
    arenaFloats_ = 0;
    for (std::size_t b = 0; b < sizes.size(); ++b) {
        offsets[b] = arenaFloats_;
        arenaFloats_ += (sizes[b] + kAlignFloats - 1) / kAlignFloats * kAlignFloats;
    }
    for (std::size_t t = 0; t < tensors_.size(); ++t) {
        if (bufferOf[t] >= 0) {
            tensors_[t].offset = offsets[static_cast<std::size_t>(bufferOf[t])];
        }
    }
}

kernels::Tensor DirectNetwork::View(int tensor, float* arena) const {
    const TensorPlan& t = tensors_[static_cast<std::size_t>(tensor)];
    kernels::Tensor v;
    v.height = t.height;
    v.width = t.width;
    v.channels = t.channels;
    v.pixelStride = t.pixelStride;
    v.rowStride = static_cast<std::ptrdiff_t>(t.width + 2 * t.margin) * t.pixelStride;
    v.data = arena + t.offset + static_cast<std::ptrdiff_t>(t.margin) * v.rowStride +
             static_cast<std::ptrdiff_t>(t.margin) * t.pixelStride;
    return v;
}

std::vector<int> DirectNetwork::OutputShape() const {
    const TensorPlan& t = tensors_[static_cast<std::size_t>(output_)];
    return {1, t.channels, t.height, t.width};
}

void DirectNetwork::Run(const cv::Mat& image, cv::Mat& out, Workspace& ws) const {
    if (ws.arena.size() < arenaFloats_) {
        ws.arena.resize(arenaFloats_);
    }
    float* arena = ws.arena.data();
    const kernels::Tensor input = View(0, arena);
    kernels::ZeroMargin(input, tensors_.front().margin);
    kernels::FromImage(image, input);
    for (const Step& s : steps_) {
        const kernels::Tensor dst = View(s.output, arena);
        kernels::ZeroMargin(dst, tensors_[static_cast<std::size_t>(s.output)].margin);
        const kernels::Tensor src = View(s.input, arena);
        switch (s.kind) {
            case StepKind::kDense:
                kernels_->dense(src, dst, s.geometry, s.weights.data(), s.bias.data(), s.activation);
                break;
            case StepKind::kDepthwise:
                kernels_->depthwise(src, dst, s.geometry, s.weights.data(), s.bias.data(), s.activation);
                break;
            case StepKind::kAdd:
                kernels::Add(src, View(s.other, arena), dst);
                break;
            case StepKind::kScale:
                kernels::ScaleChannels(src, View(s.other, arena), dst);
                break;
            case StepKind::kGlobalMean:
                kernels::GlobalMean(src, dst);
                break;
            case StepKind::kActivate:
                kernels::Activate(src, dst, s.activation);
                break;
        }
    }
    // Channel-last back to the blob layout of cv::dnn: 1 x C x H x W.
    const kernels::Tensor result = View(output_, arena);
    const int shape[] = {1, result.channels, result.height, result.width};
    out.create(4, shape, CV_32F);
    for (int c = 0; c < result.channels; ++c) {
        for (int y = 0; y < result.height; ++y) {
            float* dst = out.ptr<float>(0, c, y);
            const float* src = result.Row(y) + c;
            for (int x = 0; x < result.width; ++x) {
                dst[x] = src[static_cast<std::ptrdiff_t>(x) * result.pixelStride];
            }
        }
    }
}

}  // namespace firesmoke
