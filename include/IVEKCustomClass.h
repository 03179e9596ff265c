/// @file IVEKCustomClass.h
/// @brief Custom-model plug-in interface: the records that cross the boundary between a
/// video-surveillance host and a detection model library, and the abstract class
/// that every model library derives from.
///
/// Life cycle seen from the host:
/// @code
///   construct (by value, concrete class) -> [ConfigureParameters] -> [SetParameters]
///   -> Initialize -> [OptimizeModel] -> RunInference ... (possibly from several threads)
///   -> Destroy -> destruct
/// @endcode
/// ConfigureParameters, OptimizeModel, RunInference and Destroy may also be called
/// without a prior Initialize (OptimizeModel then answers false and RunInference an
/// empty list), and Destroy may be called more than once. A model may be initialised
/// again after Destroy.
///
/// Threads, for every model: RunInference (both overloads) may be called from any
/// number of threads at once. Initialize, OptimizeModel, Destroy, SetParameters,
/// SetLoadEngineOnCreate and the destructor are called by one thread while no other
/// thread uses the object. Each concrete class documents what it guarantees beyond that.
///
/// Errors: the operations report failure through their result (false or an empty
/// list); a model library does not let exceptions cross this boundary.
#ifndef IVEK_CUSTOM_CLASS_H
#define IVEK_CUSTOM_CLASS_H

#include <opencv2/core.hpp>
#include <opencv2/core/cuda.hpp>
#include <string>
#include <utility>
#include <vector>

/// Marks IVEKCustomClass as exported (visible) from every module that includes this
/// header: each module compiles and exports its own copy of the class's inline members.
#if defined(_WIN32)
#define IVEK_INTERFACE_EXPORT __declspec(dllexport)
#else
#define IVEK_INTERFACE_EXPORT __attribute__((visibility("default")))
#endif

/// @brief One region-of-interest configuration that a model accepts from the host.
///
/// Reported by the model through ConfigureParameters; the host draws the regions and
/// hands them back as CustomItem entries of CustomParams::Items whose Text equals Name.
struct CustomROIConfig {
    bool Rectangle = false;  ///< rectangles are allowed
    bool Polygon = false;    ///< polygons are allowed
    bool Line = false;       ///< lines are allowed
    int MinItems = 0;        ///< fewest items the model needs, >= 0
    int MaxItems = 0;        ///< most items the model uses, >= MinItems
    std::string Name;        ///< name of the configuration, e.g. "ExclusiveROIs"; items refer to it
    std::string Text;        ///< carried only: a description for people
};

/// @brief One tunable parameter of a model.
///
/// ConfigureParameters reports each parameter with its default in Number; the host
/// changes Number and passes the list back through SetParameters.
struct CustomParameter {
    std::string Name;                  ///< the host finds a parameter by this exact name (case-sensitive)
    std::string DataType;              ///< value type, e.g. "float"
    float Number = 0.0f;               ///< the value; for "float" parameters the value itself
    int MaxValue = 0;                  ///< upper bound of Number, as reported by the model
    int MinValue = 0;                  ///< lower bound of Number, as reported by the model
    std::string Text;                  ///< carried only
    std::vector<std::string> Options;  ///< carried only
    std::string Note;                  ///< carried only
    std::string Detail;                ///< carried only
};

/// @brief One entry of CustomParams::Items (e.g. one exclusive rectangle).
///
/// A rectangle is encoded as Values = { x, y, width, height }: the top-left corner
/// and the size as fractions of the frame's width (x, width) and height (y, height),
/// each in [0, 1], so that the same item fits every frame size of the camera.
struct CustomItem {
    std::string Text;            ///< name of the configuration the item belongs to (CustomROIConfig::Name)
    std::vector<double> Values;  ///< item data, e.g. x, y, width, height as fractions of the frame
    std::string Note;            ///< carried only
    std::string Detail;          ///< carried only
    float Number = 0.0f;         ///< carried only
};

/// @brief The configuration a model reports through ConfigureParameters and
/// accepts through SetParameters.
///
/// A model reads what it understands and ignores the rest: unknown parameter names,
/// items of unknown configurations and the lists marked "carried only".
struct CustomParams {
    std::vector<CustomROIConfig> ROI_Config;  ///< region-of-interest configurations
    std::vector<std::string> Options;         ///< carried only
    std::vector<CustomParameter> Parameters;  ///< tunable parameters
    std::vector<CustomItem> Items;            ///< items, e.g. rectangles of an ROI configuration
};

/// @brief One detected object, created by the model and owned by the caller.
///
/// The returned detections are values: they stay valid after the model is destroyed.
struct CustomDetection {
    int classId = -1;            ///< class id, an index into the label map Initialize reported
    std::string text;            ///< informational, e.g. the class name; hosts go by classId
    float confidence = 0.0f;     ///< score in [0, 1]
    cv::Rect box;                ///< bounding box in the caller's image coordinates, inside the image
    std::vector<double> values;  ///< model-specific extra data (may be empty)
    cv::Mat matrix;              ///< model-specific extra data (may be empty)
    cv::cuda::GpuMat gpuMatrix;  ///< model-specific extra data (may be empty)
    std::vector<float> numbers;  ///< model-specific extra data (may be empty)
    std::string note;            ///< model-specific extra data (may be empty)
    std::string detail;          ///< model-specific extra data (may be empty)
};

/// @brief Abstract base of every custom model library.
///
/// The class has no virtual destructor: an object is always destroyed through
/// its concrete class (hosts hold the concrete object by value).
///
/// The data members are public so that hosts and models share them; hosts change
/// customParams only through SetParameters.
class IVEK_INTERFACE_EXPORT IVEKCustomClass {
public:
    std::string text;                 ///< not read by the base class
    float value = 0.5f;               ///< not read by the base class
    CustomParams customParams;        ///< the configuration last given to SetParameters; read by the model
    bool loadEngineOnCreate = false;  ///< the flag last given to SetLoadEngineOnCreate

    /// Empty text and configuration, value 0.5, loadEngineOnCreate false.
    IVEKCustomClass() = default;
    /// Copies every data member.
    IVEKCustomClass(const IVEKCustomClass&) = default;
    /// Copies every data member.
    /// @return *this.
    IVEKCustomClass& operator=(const IVEKCustomClass&) = default;

    /// The source keeps value and loadEngineOnCreate; its text and lists end empty.
    /// @param other the object moved from.
    IVEKCustomClass(IVEKCustomClass&& other) noexcept
        : text(std::move(other.text)),
          value(other.value),
          customParams(std::move(other.customParams)),
          loadEngineOnCreate(other.loadEngineOnCreate) {
        other.ClearMovedFrom();
    }
    /// Like the move constructor; moving an object onto itself changes nothing.
    /// @param other the object moved from.
    /// @return *this.
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
    ///
    /// Life cycle: the first call after construction (or after Destroy); calling it
    /// again replaces the loaded model. Threads: no other call may run meanwhile.
    /// @param modelDir  folder of the model.
    /// @param threshold minimum confidence in [0, 1] that RunInference reports.
    /// @param labelMap  on success, the class names in id order separated by commas
    ///                  (CustomDetection::classId indexes it); untouched on failure.
    /// @return true when the model is loaded and ready; false when it could not be
    ///         loaded, and the object then answers as if never initialised.
    virtual bool Initialize(const std::string& modelDir, float threshold, std::string& labelMap) = 0;
    /// @brief Prepares the loaded model for fast inference. Hosts pass true.
    ///
    /// Life cycle: optional, after a successful Initialize and before the first
    /// RunInference. Threads: no other call may run meanwhile.
    /// @return true when a loaded model was optimised; false without a model.
    virtual bool OptimizeModel(bool) = 0;
    /// @brief Detects objects in @p image, with temporal state kept for @p cameraId.
    ///
    /// Life cycle: after Initialize, any number of times. Threads: any number at once.
    /// @param image    the frame, in the host's own size and format.
    /// @param cameraId identifies the video stream the frame belongs to; frames of one
    ///                 camera are passed in order.
    /// @return the detections; empty when there is none or when no inference is possible
    ///         (no model loaded, unusable image).
    virtual std::vector<CustomDetection> RunInference(const cv::Mat& image, const std::string& cameraId) = 0;
    /// @brief Detects objects in @p image judged on its own, without any camera's history.
    ///
    /// Life cycle and threads as for the camera overload.
    /// @param image the picture, in the host's own size and format.
    /// @return the detections; empty when there is none or when no inference is possible.
    virtual std::vector<CustomDetection> RunInference(const cv::Mat& image) = 0;
    /// @brief Fills @p params with the model's configuration: its region-of-interest
    /// configurations and its parameters with their defaults.
    ///
    /// Life cycle: any time, also before Initialize. Threads: the concrete class says
    /// whether it may run alongside other calls.
    /// @param params receives the configuration; the host edits it and passes it to
    ///               SetParameters.
    /// @return true when @p params was filled.
    virtual bool ConfigureParameters(CustomParams& params) = 0;
    /// @brief Releases the model and its resources; true also when there is nothing to release.
    ///
    /// Life cycle: the last call before destruction; may be repeated. Afterwards the
    /// object answers as if never initialised. Threads: no other call may run meanwhile.
    /// @return true when the object holds no model any more.
    virtual bool Destroy() = 0;

    /// @brief Replaces the configuration with a copy of @p params, all or nothing.
    ///
    /// The full copy is built first and swapped in only when it is complete, so
    /// an allocation failure midway leaves the previous configuration intact.
    /// Nothing is validated here; the model reads what it understands when it uses the
    /// configuration (see the concrete class). Life cycle: any time, also before Initialize.
    /// Not to be called while another thread uses the object.
    /// @param params the new configuration, e.g. the one ConfigureParameters reported, edited.
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
    /// Not to be called while another thread uses the object.
    /// @param flag the value for loadEngineOnCreate.
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
