// Custom-model plug-in interface: the records that cross the boundary between a
// video-surveillance host and a detection model library, and the abstract class
// that every model library derives from.
//
// Life cycle seen from the host:
//   construct (by value, concrete class) -> [Initialize] -> [OptimizeModel]
//   -> RunInference ... (possibly from several threads) -> Destroy -> destruct
// ConfigureParameters, OptimizeModel, RunInference and Destroy may also be called
// without a prior Initialize, and Destroy may be called more than once.
#ifndef IVEK_CUSTOM_CLASS_H
#define IVEK_CUSTOM_CLASS_H

#include <opencv2/core.hpp>
#include <opencv2/core/cuda.hpp>
#include <string>
#include <utility>
#include <vector>

// Every module that includes this header compiles and exports its own copy of
// the inline members of IVEKCustomClass.
#if defined(_WIN32)
#define IVEK_INTERFACE_EXPORT __declspec(dllexport)
#else
#define IVEK_INTERFACE_EXPORT __attribute__((visibility("default")))
#endif

/// @brief One region-of-interest configuration that a model accepts from the host.
struct CustomROIConfig {
    bool Rectangle = false;  ///< rectangles are allowed
    bool Polygon = false;    ///< polygons are allowed
    bool Line = false;       ///< lines are allowed
    int MinItems = 0;        ///< fewest items
    int MaxItems = 0;        ///< most items
    std::string Name;        ///< name of the configuration, e.g. "ExclusiveROIs"
    std::string Text;        ///< carried only
};

/// @brief One tunable parameter of a model.
struct CustomParameter {
    std::string Name;                  ///< the host finds a parameter by this exact name
    std::string DataType;              ///< value type, e.g. "float"
    float Number = 0.0f;               ///< the value; for "float" parameters the value itself
    int MaxValue = 0;                  ///< upper bound of Number
    int MinValue = 0;                  ///< lower bound of Number
    std::string Text;                  ///< carried only
    std::vector<std::string> Options;  ///< carried only
    std::string Note;                  ///< carried only
    std::string Detail;                ///< carried only
};

/// @brief One entry of CustomParams::Items (e.g. one exclusive rectangle).
struct CustomItem {
    std::string Text;            ///< name of the configuration the item belongs to
    std::vector<double> Values;  ///< item data, e.g. x, y, width, height
    std::string Note;
    std::string Detail;
    float Number = 0.0f;
};

/// @brief The configuration a model reports through ConfigureParameters and
/// accepts through SetParameters.
struct CustomParams {
    std::vector<CustomROIConfig> ROI_Config;  ///< region-of-interest configurations
    std::vector<std::string> Options;         ///< carried only
    std::vector<CustomParameter> Parameters;  ///< tunable parameters
    std::vector<CustomItem> Items;            ///< items, e.g. rectangles of an ROI configuration
};

/// @brief One detected object, created by the model and owned by the caller.
struct CustomDetection {
    int classId = -1;         ///< class id, an index into the label map
    std::string text;         ///< carried only
    float confidence = 0.0f;  ///< score in [0, 1]
    cv::Rect box;             ///< bounding box in the caller's image coordinates
    std::vector<double> values;
    cv::Mat matrix;
    cv::cuda::GpuMat gpuMatrix;
    std::vector<float> numbers;
    std::string note;
    std::string detail;
};

/// @brief Abstract base of every custom model library.
///
/// The class has no virtual destructor: an object is always destroyed through
/// its concrete class (hosts hold the concrete object by value).
class IVEK_INTERFACE_EXPORT IVEKCustomClass {
public:
    std::string text;                 ///< not read by the base class
    float value = 0.5f;               ///< not read by the base class
    CustomParams customParams;        ///< the configuration last given to SetParameters
    bool loadEngineOnCreate = false;  ///< the flag last given to SetLoadEngineOnCreate

    IVEKCustomClass() = default;
    IVEKCustomClass(const IVEKCustomClass&) = default;
    IVEKCustomClass& operator=(const IVEKCustomClass&) = default;

    /// The source keeps value and loadEngineOnCreate; its text and lists end empty.
    IVEKCustomClass(IVEKCustomClass&& other) noexcept
        : text(std::move(other.text)),
          value(other.value),
          customParams(std::move(other.customParams)),
          loadEngineOnCreate(other.loadEngineOnCreate) {
        other.ClearMovedFrom();
    }
    IVEKCustomClass& operator=(IVEKCustomClass&& other) noexcept {
        if (this != &other) {
            text = std::move(other.text);
            value = other.value;
            customParams = std::move(other.customParams);
            loadEngineOnCreate = other.loadEngineOnCreate;
            other.ClearMovedFrom();
        }
        return *this;
    }
    ~IVEKCustomClass() = default;

    /// @brief Loads the model found in @p modelDir.
    /// @param threshold minimum confidence in [0, 1] that RunInference reports.
    /// @param labelMap  on success, the class names in id order separated by commas.
    /// @return true when the model is loaded and ready.
    virtual bool Initialize(const std::string& modelDir, float threshold, std::string& labelMap) = 0;
    /// @brief Prepares the loaded model for fast inference. Hosts pass true.
    /// @return true when a loaded model was optimised; false without a model.
    virtual bool OptimizeModel(bool) = 0;
    /// @brief Detects objects in @p image, with temporal state kept for @p cameraId.
    /// @return the detections; empty when there is none or when no inference is possible.
    virtual std::vector<CustomDetection> RunInference(const cv::Mat& image, const std::string& cameraId) = 0;
    /// @brief Detects objects in @p image judged on its own.
    virtual std::vector<CustomDetection> RunInference(const cv::Mat& image) = 0;
    /// @brief Fills @p params with the model's configuration.
    virtual bool ConfigureParameters(CustomParams& params) = 0;
    /// @brief Releases the model and its resources; true also when there is nothing to release.
    virtual bool Destroy() = 0;

    /// @brief Replaces the configuration with a copy of @p params, all or nothing.
    ///
    /// The full copy is built first and swapped in only when it is complete, so
    /// an allocation failure midway leaves the previous configuration intact.
    /// Nothing is validated. Not to be called while another thread uses the object.
    /// @return true when the new configuration is in place; false (previous kept) on failure.
    bool SetParameters(const CustomParams& params) {
        try {
            CustomParams copy(params);
            using std::swap;
            swap(customParams.ROI_Config, copy.ROI_Config);
            swap(customParams.Options, copy.Options);
            swap(customParams.Parameters, copy.Parameters);
            swap(customParams.Items, copy.Items);
            return true;
        } catch (...) {
            return false;
        }
    }

    /// @brief Stores @p flag in loadEngineOnCreate and does nothing else.
    void SetLoadEngineOnCreate(bool flag) { loadEngineOnCreate = flag; }

private:
    void ClearMovedFrom() noexcept {
        text.clear();
        customParams.ROI_Config.clear();
        customParams.Options.clear();
        customParams.Parameters.clear();
        customParams.Items.clear();
    }
};

#endif  // IVEK_CUSTOM_CLASS_H
