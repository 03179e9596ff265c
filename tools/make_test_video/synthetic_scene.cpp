#include "synthetic_scene.h"

#include <cmath>
#include <opencv2/imgproc.hpp>

namespace firesmoke {
namespace {

// The room: a wall with a gradient, a floor, a window and a cabinet, plus fixed noise.
cv::Mat Background(cv::Size size) {
    cv::Mat bg(size, CV_8UC3);
    for (int y = 0; y < size.height; ++y) {
        const double t = static_cast<double>(y) / size.height;
        bg.row(y).setTo(t < 0.7 ? cv::Scalar(95 + 40 * t, 100 + 40 * t, 105 + 40 * t)
                                : cv::Scalar(60, 70, 80));
    }
    const double w = size.width, h = size.height;
    cv::rectangle(bg, cv::Rect2d(0.08 * w, 0.12 * h, 0.2 * w, 0.25 * h), cv::Scalar(170, 160, 140),
                  cv::FILLED);
    cv::rectangle(bg, cv::Rect2d(0.08 * w, 0.12 * h, 0.2 * w, 0.25 * h), cv::Scalar(40, 40, 40),
                  std::max(1, size.width / 320));
    cv::rectangle(bg, cv::Rect2d(0.7 * w, 0.4 * h, 0.18 * w, 0.35 * h), cv::Scalar(50, 80, 110), cv::FILLED);
    cv::Mat noise(size, CV_8UC3);
    cv::RNG rng(12345);
    rng.fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(6));
    cv::Mat noisy;
    cv::add(bg, noise, noisy, cv::noArray(), CV_8UC3);
    return noisy;
}

}  // namespace

cv::Mat RenderSyntheticFrame(int index, cv::Size size, bool withFire) {
    cv::Mat frame = Background(size);
    if (!withFire) {
        return frame;
    }
    const SyntheticLayout layout;
    const double w = size.width, h = size.height;
    cv::RNG rng(static_cast<uint64_t>(index) * 7919u + 17u);
    const double t = index / 25.0;

    // Smoke: soft grey puffs rising above the flame, drawn on a layer and blended.
    cv::Mat smoke = cv::Mat::zeros(size, CV_8UC1);
    for (int k = 0; k < 6; ++k) {
        const double phase = std::fmod(t * 0.25 + k / 6.0, 1.0);
        const double cx = (layout.smoke.x + layout.smoke.width * (0.5 + 0.25 * std::sin(2.1 * k + t))) * w;
        const double cy = (layout.smoke.y + layout.smoke.height * (1.0 - phase)) * h;
        const double r = (0.03 + 0.06 * phase) * w;
        cv::circle(smoke, cv::Point2d(cx, cy), static_cast<int>(r), cv::Scalar(150 * (1.0 - 0.6 * phase)),
                   cv::FILLED, cv::LINE_AA);
    }
    const int blur = (size.width / 40) | 1;
    cv::GaussianBlur(smoke, smoke, cv::Size(blur, blur), 0);
    cv::Mat smokeF, frameF;
    smoke.convertTo(smokeF, CV_32F, 1.0 / 255.0);
    cv::cvtColor(smokeF, smokeF, cv::COLOR_GRAY2BGR);
    frame.convertTo(frameF, CV_32FC3);
    cv::Mat grey(size, CV_32FC3, cv::Scalar(175, 175, 175));
    frameF = frameF.mul(cv::Scalar::all(1.0) - smokeF) + grey.mul(smokeF);
    frameF.convertTo(frame, CV_8UC3);

    // Flame: stacked tongues from dark red at the rim to yellow-white at the core,
    // each tongue's height and sway changing every frame.
    const cv::Point2d base((layout.flame.x + layout.flame.width / 2) * w,
                           (layout.flame.y + layout.flame.height) * h);
    const double fw = layout.flame.width * w, fh = layout.flame.height * h;
    const cv::Scalar colours[] = {cv::Scalar(0, 40, 200), cv::Scalar(0, 110, 240), cv::Scalar(30, 190, 255),
                                  cv::Scalar(150, 240, 255)};
    for (int layer = 0; layer < 4; ++layer) {
        const double shrink = 1.0 - 0.22 * layer;
        for (int k = 0; k < 3; ++k) {
            const double sway = 0.15 * fw * std::sin(3.0 * t + 1.7 * k + rng.uniform(-0.5, 0.5));
            const double height = fh * shrink * (0.6 + 0.4 * rng.uniform(0.6, 1.0)) * (k == 1 ? 1.0 : 0.7);
            const double width = fw * shrink * (k == 1 ? 0.45 : 0.3);
            const cv::Point2d centre(base.x + (k - 1) * 0.25 * fw * shrink + sway * 0.5, base.y - height / 2);
            cv::ellipse(
                frame,
                cv::RotatedRect(centre, cv::Size2f(static_cast<float>(width), static_cast<float>(height)),
                                static_cast<float>(sway / fw * 20.0)),
                colours[layer], cv::FILLED, cv::LINE_AA);
        }
    }
    return frame;
}

}  // namespace firesmoke
