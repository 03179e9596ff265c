// Shared pieces of the interface tests: a minimal concrete model, a builder of
// recognisable configurations and a field-by-field comparison of them.
#ifndef INTERFACE_TESTS_SUPPORT_H
#define INTERFACE_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <opencv2/core.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "IVEKCustomClass.h"

namespace interface_test {

/// The smallest concrete model: each operation does the least its contract allows.
/// RunInference reports one detection that shares the caller's image buffer, so
/// tests can watch the buffer's reference count follow the detection records.
class StubModel : public IVEKCustomClass {
public:
    bool Initialize(const std::string& modelDir, float, std::string& labelMap) override {
        if (modelDir.empty()) {
            return false;
        }
        labelMap = "fire,background,smoke";
        return true;
    }
    bool OptimizeModel(bool) override { return false; }
    std::vector<CustomDetection> RunInference(const cv::Mat& image, const std::string& cameraId) override {
        std::vector<CustomDetection> results = RunInference(image);
        for (CustomDetection& detection : results) {
            detection.text = cameraId;
        }
        return results;
    }
    std::vector<CustomDetection> RunInference(const cv::Mat& image) override {
        std::vector<CustomDetection> results;
        if (image.empty()) {
            return results;
        }
        CustomDetection detection;
        detection.classId = 0;
        detection.confidence = 0.75f;
        detection.box = cv::Rect(0, 0, image.cols, image.rows);
        detection.matrix = image;
        results.push_back(std::move(detection));
        return results;
    }
    bool ConfigureParameters(CustomParams& params) override {
        params = customParams;
        return true;
    }
    bool Destroy() override { return true; }
};

/// How many elements each list of a configuration gets.
struct ListSizes {
    std::size_t roiConfigs = 0;
    std::size_t options = 0;
    std::size_t parameters = 0;
    std::size_t items = 0;
};

/// A text of at least 32 characters (too long for any small-string buffer, so
/// every copy allocates), unique to @p seed, @p field and @p index.
inline std::string LongText(int seed, const char* field, std::size_t index) {
    std::ostringstream out;
    out << "configuration " << seed << ", " << field << " #" << index << ", long enough for the heap";
    return out.str();
}

/// A configuration whose every field depends on @p seed and on the element's
/// position, so two configurations built with different seeds share no value.
/// Texts are either empty or long; the 8-byte item values include signed
/// zeros, infinities, a subnormal and NaNs with payloads.
inline CustomParams MakeParams(const ListSizes& sizes, int seed) {
    CustomParams params;
    for (std::size_t i = 0; i < sizes.roiConfigs; ++i) {
        CustomROIConfig roi;
        roi.Rectangle = (i + static_cast<std::size_t>(seed)) % 2 == 0;
        roi.Polygon = i % 3 == 1;
        roi.Line = seed % 2 == 1;
        roi.MinItems = seed + static_cast<int>(i);
        roi.MaxItems = 100 * seed + static_cast<int>(i);
        roi.Name = LongText(seed, "ROI name", i);
        roi.Text = i % 2 == 0 ? LongText(seed, "ROI text", i) : std::string();
        params.ROI_Config.push_back(roi);
    }
    for (std::size_t i = 0; i < sizes.options; ++i) {
        params.Options.push_back(LongText(seed, "option", i));
    }
    for (std::size_t i = 0; i < sizes.parameters; ++i) {
        CustomParameter parameter;
        parameter.Name = LongText(seed, "parameter name", i);
        parameter.DataType = i % 2 == 0 ? LongText(seed, "data type", i) : std::string();
        parameter.Number = static_cast<float>(seed) + 0.125f * static_cast<float>(i);
        parameter.MaxValue = 10 * seed + static_cast<int>(i);
        parameter.MinValue = -seed - static_cast<int>(i);
        parameter.Text = LongText(seed, "parameter text", i);
        for (std::size_t k = 0; k < i % 3; ++k) {
            parameter.Options.push_back(LongText(seed, "parameter option", 10 * i + k));
        }
        parameter.Note = LongText(seed, "parameter note", i);
        parameter.Detail = i % 2 == 1 ? LongText(seed, "parameter detail", i) : std::string();
        params.Parameters.push_back(parameter);
    }
    const std::uint64_t nanPayload = 0x7FF8000000000000ULL | static_cast<std::uint64_t>(seed);
    double quietNan = 0.0;
    std::memcpy(&quietNan, &nanPayload, sizeof quietNan);
    for (std::size_t i = 0; i < sizes.items; ++i) {
        CustomItem item;
        item.Text = LongText(seed, "item text", i);
        item.Values = {static_cast<double>(seed) + static_cast<double>(i), -0.0,
                       -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::denorm_min(),
                       quietNan};
        item.Values.resize(item.Values.size() - i % 2);
        item.Note = i % 2 == 0 ? LongText(seed, "item note", i) : std::string();
        item.Detail = LongText(seed, "item detail", i);
        item.Number = -static_cast<float>(seed) - static_cast<float>(i);
        params.Items.push_back(item);
    }
    return params;
}

/// The number of heap blocks that copying @p params needs at the least: one for
/// every non-empty list and one for every text of 32 characters or more.
inline std::size_t MinimumHeapBlocks(const CustomParams& params) {
    auto list = [](const auto& v) -> std::size_t { return v.empty() ? 0U : 1U; };
    auto text = [](const std::string& s) -> std::size_t { return s.size() >= 32 ? 1U : 0U; };
    std::size_t blocks =
        list(params.ROI_Config) + list(params.Options) + list(params.Parameters) + list(params.Items);
    for (const CustomROIConfig& roi : params.ROI_Config) {
        blocks += text(roi.Name) + text(roi.Text);
    }
    for (const std::string& option : params.Options) {
        blocks += text(option);
    }
    for (const CustomParameter& p : params.Parameters) {
        blocks +=
            text(p.Name) + text(p.DataType) + text(p.Text) + text(p.Note) + text(p.Detail) + list(p.Options);
        for (const std::string& option : p.Options) {
            blocks += text(option);
        }
    }
    for (const CustomItem& item : params.Items) {
        blocks += text(item.Text) + text(item.Note) + text(item.Detail) + list(item.Values);
    }
    return blocks;
}

namespace detail {

template <typename T>
bool SameBytes(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

inline bool SameBytes(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

/// Collects the paths of the fields that differ.
class Differences {
public:
    template <typename T>
    void Check(bool same, const std::string& path, const T& actual, const T& expected) {
        if (!same) {
            out_ << "\n  " << path << ": " << testing::PrintToString(actual) << " instead of "
                 << testing::PrintToString(expected);
            ++count_;
        }
    }
    void CheckSize(const std::string& path, std::size_t actual, std::size_t expected) {
        Check(actual == expected, path + ".size()", actual, expected);
    }
    bool Any() const { return count_ > 0; }
    std::string Text() const { return out_.str(); }

private:
    std::ostringstream out_;
    int count_ = 0;
};

inline std::string At(const char* list, std::size_t index) {
    return std::string(list) + "[" + std::to_string(index) + "]";
}

}  // namespace detail

/// Compares two configurations field by field; scalars and item values bit for bit.
inline testing::AssertionResult SameParams(const CustomParams& actual, const CustomParams& expected) {
    detail::Differences d;
    using detail::At;
    using detail::SameBytes;

    d.CheckSize("ROI_Config", actual.ROI_Config.size(), expected.ROI_Config.size());
    for (std::size_t i = 0; i < actual.ROI_Config.size() && i < expected.ROI_Config.size(); ++i) {
        const CustomROIConfig& a = actual.ROI_Config[i];
        const CustomROIConfig& e = expected.ROI_Config[i];
        const std::string p = At("ROI_Config", i);
        d.Check(a.Rectangle == e.Rectangle, p + ".Rectangle", a.Rectangle, e.Rectangle);
        d.Check(a.Polygon == e.Polygon, p + ".Polygon", a.Polygon, e.Polygon);
        d.Check(a.Line == e.Line, p + ".Line", a.Line, e.Line);
        d.Check(a.MinItems == e.MinItems, p + ".MinItems", a.MinItems, e.MinItems);
        d.Check(a.MaxItems == e.MaxItems, p + ".MaxItems", a.MaxItems, e.MaxItems);
        d.Check(a.Name == e.Name, p + ".Name", a.Name, e.Name);
        d.Check(a.Text == e.Text, p + ".Text", a.Text, e.Text);
    }
    d.CheckSize("Options", actual.Options.size(), expected.Options.size());
    for (std::size_t i = 0; i < actual.Options.size() && i < expected.Options.size(); ++i) {
        d.Check(actual.Options[i] == expected.Options[i], At("Options", i), actual.Options[i],
                expected.Options[i]);
    }
    d.CheckSize("Parameters", actual.Parameters.size(), expected.Parameters.size());
    for (std::size_t i = 0; i < actual.Parameters.size() && i < expected.Parameters.size(); ++i) {
        const CustomParameter& a = actual.Parameters[i];
        const CustomParameter& e = expected.Parameters[i];
        const std::string p = At("Parameters", i);
        d.Check(a.Name == e.Name, p + ".Name", a.Name, e.Name);
        d.Check(a.DataType == e.DataType, p + ".DataType", a.DataType, e.DataType);
        d.Check(SameBytes(a.Number, e.Number), p + ".Number", a.Number, e.Number);
        d.Check(a.MaxValue == e.MaxValue, p + ".MaxValue", a.MaxValue, e.MaxValue);
        d.Check(a.MinValue == e.MinValue, p + ".MinValue", a.MinValue, e.MinValue);
        d.Check(a.Text == e.Text, p + ".Text", a.Text, e.Text);
        d.Check(a.Options == e.Options, p + ".Options", a.Options, e.Options);
        d.Check(a.Note == e.Note, p + ".Note", a.Note, e.Note);
        d.Check(a.Detail == e.Detail, p + ".Detail", a.Detail, e.Detail);
    }
    d.CheckSize("Items", actual.Items.size(), expected.Items.size());
    for (std::size_t i = 0; i < actual.Items.size() && i < expected.Items.size(); ++i) {
        const CustomItem& a = actual.Items[i];
        const CustomItem& e = expected.Items[i];
        const std::string p = At("Items", i);
        d.Check(a.Text == e.Text, p + ".Text", a.Text, e.Text);
        d.Check(SameBytes(a.Values, e.Values), p + ".Values", a.Values, e.Values);
        d.Check(a.Note == e.Note, p + ".Note", a.Note, e.Note);
        d.Check(a.Detail == e.Detail, p + ".Detail", a.Detail, e.Detail);
        d.Check(SameBytes(a.Number, e.Number), p + ".Number", a.Number, e.Number);
    }
    if (d.Any()) {
        return testing::AssertionFailure() << "configurations differ:" << d.Text();
    }
    return testing::AssertionSuccess();
}

}  // namespace interface_test

#endif  // INTERFACE_TESTS_SUPPORT_H
