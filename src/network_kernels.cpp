#include "network_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if !defined(__GNUC__) && !defined(__clang__)
#error "the network's kernels are written with GCC/Clang vector extensions"
#endif

namespace firesmoke {
namespace kernels {

namespace {

#define FS_INLINE inline __attribute__((always_inline))
// The block loops must unroll for their accumulators to live in registers; -O2 alone
// does not always do it.
#define FS_UNROLL _Pragma("GCC unroll 8")

// The loops are written once over a vector of floats: eight (one AVX register) in
// the AVX2 build, four (one SSE or NEON register) in the portable one.
typedef float Vec8 __attribute__((vector_size(8 * sizeof(float))));
typedef float Vec4 __attribute__((vector_size(4 * sizeof(float))));

template <typename Vec>
constexpr int kWidth = static_cast<int>(sizeof(Vec) / sizeof(float));

// Output pixels computed together: their accumulators hide the latency of the
// multiply-adds (4 pixels x 2 vectors = 8 independent chains).
constexpr int kBlockPixels = 4;

template <typename Vec>
FS_INLINE void Load(Vec& v, const float* p) {
    std::memcpy(&v, p, sizeof v);
}

template <typename Vec>
FS_INLINE void Store(float* p, const Vec& v, Activation act) {
    Vec r = v;
    if (act == Activation::kRelu) {
        const Vec zero = {};
        r = r > zero ? r : zero;
    }
    std::memcpy(p, &r, sizeof r);
}

// Every accumulator of a block starts at the bias of its channels.
template <typename Vec, int NP, int NV>
FS_INLINE void StartAtBias(Vec (&acc)[NP][NV], const float* bias) {
    FS_UNROLL
    for (int v = 0; v < NV; ++v) {
        Vec b;
        Load(b, bias + v * kWidth<Vec>);
        FS_UNROLL
        for (int p = 0; p < NP; ++p) {
            acc[p][v] = b;
        }
    }
}

// Pixel p of a block goes to out + p * pixelStride.
template <typename Vec, int NP, int NV>
FS_INLINE void StoreBlock(float* out, int pixelStride, const Vec (&acc)[NP][NV], Activation act) {
    FS_UNROLL
    for (int p = 0; p < NP; ++p) {
        FS_UNROLL
        for (int v = 0; v < NV; ++v) {
            Store(out + p * pixelStride + v * kWidth<Vec>, acc[p][v], act);
        }
    }
}

FS_INLINE float Sigmoid(float x) {
    return 1.0f / (1.0f + std::exp(-x));
}

// The sigmoid is applied after the row is stored: it only ends the network and its
// attention branch, a few hundred values per pass.
FS_INLINE void SigmoidRow(float* row, const Tensor& t) {
    for (int x = 0; x < t.width; ++x) {
        float* p = row + static_cast<std::ptrdiff_t>(x) * t.pixelStride;
        for (int c = 0; c < t.channels; ++c) {
            p[c] = Sigmoid(p[c]);
        }
    }
}

// The taps of a dense convolution: every output channel sums over every input channel.
// Block() computes NP output pixels of one row x NV vectors of output channels from
// `co` on; (ys, xs) is the input pixel under the first tap of the first output pixel.
struct Dense {
    template <typename Vec, int NP, int NV>
    static FS_INLINE void Block(const Tensor& in, const ConvGeometry& g, const float* weights, int outPadded,
                                const float* bias, int co, int ys, int xs, float* out, int outPixelStride,
                                Activation act) {
        Vec acc[NP][NV];
        StartAtBias(acc, bias + co);
        const int cin = in.channels;
        const std::ptrdiff_t pixelStep = static_cast<std::ptrdiff_t>(g.strideX) * in.pixelStride;
        for (int ky = 0; ky < g.kernelY; ++ky) {
            const float* row = in.Row(ys + ky * g.dilationY);
            for (int kx = 0; kx < g.kernelX; ++kx) {
                const float* src = row + static_cast<std::ptrdiff_t>(xs + kx * g.dilationX) * in.pixelStride;
                const float* w =
                    weights + static_cast<std::ptrdiff_t>((ky * g.kernelX + kx) * cin) * outPadded + co;
                for (int ci = 0; ci < cin; ++ci, w += outPadded) {
                    Vec wv[NV];
                    FS_UNROLL
                    for (int v = 0; v < NV; ++v) {
                        Load(wv[v], w + v * kWidth<Vec>);
                    }
                    FS_UNROLL
                    for (int p = 0; p < NP; ++p) {
                        const float s = src[p * pixelStep + ci];
                        FS_UNROLL
                        for (int v = 0; v < NV; ++v) {
                            acc[p][v] += s * wv[v];
                        }
                    }
                }
            }
        }
        StoreBlock(out, outPixelStride, acc, act);
    }
};

// The taps of a depthwise convolution: output channel c sums over input channel c alone.
// Block() as Dense::Block(), over channels [c, c + NV vectors).
struct Depthwise {
    template <typename Vec, int NP, int NV>
    static FS_INLINE void Block(const Tensor& in, const ConvGeometry& g, const float* weights, int padded,
                                const float* bias, int c, int ys, int xs, float* out, int pixelStride,
                                Activation act) {
        Vec acc[NP][NV];
        StartAtBias(acc, bias + c);
        const std::ptrdiff_t pixelStep = static_cast<std::ptrdiff_t>(g.strideX) * pixelStride;
        for (int ky = 0; ky < g.kernelY; ++ky) {
            const float* row = in.Row(ys + ky * g.dilationY);
            for (int kx = 0; kx < g.kernelX; ++kx) {
                const float* src = row + static_cast<std::ptrdiff_t>(xs + kx * g.dilationX) * pixelStride + c;
                const float* w = weights + static_cast<std::ptrdiff_t>(ky * g.kernelX + kx) * padded + c;
                Vec wv[NV];
                FS_UNROLL
                for (int v = 0; v < NV; ++v) {
                    Load(wv[v], w + v * kWidth<Vec>);
                }
                FS_UNROLL
                for (int p = 0; p < NP; ++p) {
                    FS_UNROLL
                    for (int v = 0; v < NV; ++v) {
                        Vec iv;
                        Load(iv, src + p * pixelStep + v * kWidth<Vec>);
                        acc[p][v] += iv * wv[v];
                    }
                }
            }
        }
        StoreBlock(out, pixelStride, acc, act);
    }
};

// One output row's channels [c, c + NV vectors), in blocks of kBlockPixels pixels and
// then one pixel at a time.
template <typename Taps, typename Vec, int NV>
FS_INLINE void Columns(const Tensor& in, const Tensor& out, const ConvGeometry& g, const float* weights,
                       int padded, const float* bias, int c, int y, Activation act) {
    const int ys = y * g.strideY - g.padY;
    float* row = out.Row(y) + c;
    int x = 0;
    for (; x + kBlockPixels <= out.width; x += kBlockPixels) {
        Taps::template Block<Vec, kBlockPixels, NV>(
            in, g, weights, padded, bias, c, ys, x * g.strideX - g.padX,
            row + static_cast<std::ptrdiff_t>(x) * out.pixelStride, out.pixelStride, act);
    }
    for (; x < out.width; ++x) {
        Taps::template Block<Vec, 1, NV>(in, g, weights, padded, bias, c, ys, x * g.strideX - g.padX,
                                         row + static_cast<std::ptrdiff_t>(x) * out.pixelStride,
                                         out.pixelStride, act);
    }
}

// A whole convolution: each row, two vectors of channels at a time, then one.
template <typename Taps, typename Vec>
FS_INLINE void Convolve(const Tensor& in, const Tensor& out, const ConvGeometry& g, const float* weights,
                        const float* bias, Activation act) {
    const int padded = PaddedChannels(out.channels);
    const Activation vecAct = act == Activation::kRelu ? act : Activation::kNone;
    for (int y = 0; y < out.height; ++y) {
        int c = 0;
        for (; c + 2 * kWidth<Vec> <= padded; c += 2 * kWidth<Vec>) {
            Columns<Taps, Vec, 2>(in, out, g, weights, padded, bias, c, y, vecAct);
        }
        for (; c < padded; c += kWidth<Vec>) {
            Columns<Taps, Vec, 1>(in, out, g, weights, padded, bias, c, y, vecAct);
        }
        if (act == Activation::kSigmoid) {
            SigmoidRow(out.Row(y), out);
        }
    }
}

void DensePortable(const Tensor& in, const Tensor& out, const ConvGeometry& g, const float* weights,
                   const float* bias, Activation act) {
    Convolve<Dense, Vec4>(in, out, g, weights, bias, act);
}

void DepthwisePortable(const Tensor& in, const Tensor& out, const ConvGeometry& g, const float* weights,
                       const float* bias, Activation act) {
    Convolve<Depthwise, Vec4>(in, out, g, weights, bias, act);
}

#if defined(__x86_64__) || defined(__i386__)
#define FS_HAVE_AVX2_BUILD 1

// The same loops compiled for AVX2 and FMA; chosen at run time, so the library
// still runs on CPUs without them.
__attribute__((target("avx2,fma"))) void DenseAvx2(const Tensor& in, const Tensor& out, const ConvGeometry& g,
                                                   const float* weights, const float* bias, Activation act) {
    Convolve<Dense, Vec8>(in, out, g, weights, bias, act);
}

__attribute__((target("avx2,fma"))) void DepthwiseAvx2(const Tensor& in, const Tensor& out,
                                                       const ConvGeometry& g, const float* weights,
                                                       const float* bias, Activation act) {
    Convolve<Depthwise, Vec8>(in, out, g, weights, bias, act);
}
#endif

}  // namespace

const ConvKernels& PortableConvKernels() {
    static const ConvKernels kernels{"portable", &DensePortable, &DepthwisePortable};
    return kernels;
}

const ConvKernels* Avx2ConvKernels() {
#ifdef FS_HAVE_AVX2_BUILD
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    static const ConvKernels kernels{"avx2", &DenseAvx2, &DepthwiseAvx2};
    return supported ? &kernels : nullptr;
#else
    return nullptr;
#endif
}

const ConvKernels& BestConvKernels() {
    const ConvKernels* avx2 = Avx2ConvKernels();
    return avx2 != nullptr ? *avx2 : PortableConvKernels();
}

void FromImage(const cv::Mat& image, const Tensor& out) {
    CV_Assert(image.depth() == CV_8U && image.channels() == out.channels && image.rows == out.height &&
              image.cols == out.width);
    const int cn = out.channels;
    for (int y = 0; y < out.height; ++y) {
        const uchar* s = image.ptr<uchar>(y);
        float* d = out.Row(y);
        if (out.pixelStride == cn) {
            // Pixels packed as in the image: one flat loop that the compiler vectorises.
            const int n = out.width * cn;
            for (int i = 0; i < n; ++i) {
                d[i] = static_cast<float>(s[i]) * (1.0f / 255.0f);
            }
            continue;
        }
        for (int x = 0; x < out.width; ++x, s += cn, d += out.pixelStride) {
            for (int c = 0; c < cn; ++c) {
                d[c] = static_cast<float>(s[c]) * (1.0f / 255.0f);
            }
            std::fill(d + cn, d + out.pixelStride, 0.0f);
        }
    }
}

void Add(const Tensor& a, const Tensor& b, const Tensor& out) {
    for (int y = 0; y < out.height; ++y) {
        const float* pa = a.Row(y);
        const float* pb = b.Row(y);
        float* po = out.Row(y);
        for (int x = 0; x < out.width; ++x) {
            for (int c = 0; c < out.channels; ++c) {
                po[c] = pa[c] + pb[c];
            }
            pa += a.pixelStride;
            pb += b.pixelStride;
            po += out.pixelStride;
        }
    }
}

void ScaleChannels(const Tensor& in, const Tensor& scale, const Tensor& out) {
    const float* s = scale.Row(0);
    for (int y = 0; y < out.height; ++y) {
        const float* pi = in.Row(y);
        float* po = out.Row(y);
        for (int x = 0; x < out.width; ++x, pi += in.pixelStride, po += out.pixelStride) {
            for (int c = 0; c < out.channels; ++c) {
                po[c] = pi[c] * s[c];
            }
        }
    }
}

void GlobalMean(const Tensor& in, const Tensor& out) {
    float* o = out.Row(0);
    std::fill(o, o + out.pixelStride, 0.0f);
    for (int y = 0; y < in.height; ++y) {
        const float* p = in.Row(y);
        for (int x = 0; x < in.width; ++x, p += in.pixelStride) {
            for (int c = 0; c < in.channels; ++c) {
                o[c] += p[c];
            }
        }
    }
    const float n = static_cast<float>(in.height) * static_cast<float>(in.width);
    for (int c = 0; c < in.channels; ++c) {
        o[c] /= n;
    }
}

void Activate(const Tensor& in, const Tensor& out, Activation act) {
    for (int y = 0; y < out.height; ++y) {
        const float* pi = in.Row(y);
        float* po = out.Row(y);
        for (int x = 0; x < out.width; ++x, pi += in.pixelStride, po += out.pixelStride) {
            for (int c = 0; c < out.channels; ++c) {
                const float v = pi[c];
                po[c] = act == Activation::kRelu      ? std::max(v, 0.0f)
                        : act == Activation::kSigmoid ? Sigmoid(v)
                                                      : v;
            }
        }
    }
}

void ZeroMargin(const Tensor& t, int margin) {
    if (margin <= 0) {
        return;
    }
    const std::ptrdiff_t side = static_cast<std::ptrdiff_t>(margin) * t.pixelStride;
    for (int y = -margin; y < t.height + margin; ++y) {
        float* row = t.Row(y) - side;  // the row's first float, margin included
        if (y < 0 || y >= t.height) {
            std::fill(row, row + t.rowStride, 0.0f);
        } else {
            std::fill(row, row + side, 0.0f);
            std::fill(row + side + static_cast<std::ptrdiff_t>(t.width) * t.pixelStride, row + t.rowStride,
                      0.0f);
        }
    }
}

}  // namespace kernels
}  // namespace firesmoke
