// VEKCustomFS: the fire-and-smoke detector of the VEKCustomFireNSmokeDetection library.
#ifndef VEK_CUSTOM_FS_H
#define VEK_CUSTOM_FS_H

#include <memory>
#include <string>
#include <vector>

#include "IVEKCustomClass.h"
#include "vekcustomfs_export.h"

/// @brief Fire-and-smoke detector plug-in.
///
/// Class ids: 0 is fire, 2 is smoke (1, background, is never reported; the label map names every id
/// in id order, "fire,background,smoke" for the bundled model).
///
/// Threads: Initialize, OptimizeModel, Destroy, SetParameters and the destructor
/// must not run while another thread uses the object. RunInference and
/// ConfigureParameters may be called from any number of threads at once: calls for
/// different cameras run in parallel, calls for the same camera are serialised.
///
/// No operation throws. A failure is logged on standard error with the camera and
/// the cause, and reported as false or an empty list.
///
/// Parameters taken from customParams (set with SetParameters) on every RunInference:
/// - Parameters "SmokeScore" (float in [0, 1], in Number): the minimum confidence of a
///   reported smoke detection. Default 0.5.
/// - Parameters "Sensitivity" (float in [0, 1], in Number): 0.5 is the calibrated
///   operating point; higher values lower the candidate thresholds (earlier alarms,
///   more false alarms), lower values raise them.
/// - Items whose Text is "ExclusiveROIs": one exclusive rectangle each, Values holding
///   x, y, width, height as fractions of the frame size in [0, 1]. A detection whose
///   centre lies inside any exclusive rectangle is dropped. At most 20 are used.
class VEKCUSTOMFS_EXPORT VEKCustomFS : public IVEKCustomClass {
public:
    VEKCustomFS();
    ~VEKCustomFS();
    VEKCustomFS(const VEKCustomFS&) = delete;
    VEKCustomFS& operator=(const VEKCustomFS&) = delete;

    /// @brief Loads and validates the model folder (model.yml and the files it names).
    /// @param modelDir  folder of the model, e.g. ".../VEK_FireSmoke_v2.0".
    /// @param threshold minimum reported confidence, in [0, 1].
    /// @param labelMap  on success, "fire,background,smoke"; untouched on failure.
    /// @return false, with a message naming the file and the problem, when the folder
    ///         is missing or malformed; the detector then behaves as never initialised.
    bool Initialize(const std::string& modelDir, float threshold, std::string& labelMap) override;

    /// @brief Prepares the loaded model for inference (warm-up and lookup tables).
    /// @return false before a successful Initialize.
    bool OptimizeModel(bool optimize) override;

    /// @brief Detects fire and smoke in one frame of the camera @p cameraId.
    ///
    /// Temporal state (motion, tracks, votes) is kept per camera and reset when the
    /// camera's frame size changes; the least recently used cameras are forgotten
    /// beyond a fixed number. Boxes are in @p image coordinates, clipped to it.
    /// @param image any 1-, 3- or 4-channel image of 8, 16 bit or floating point depth.
    /// @return confirmed detections; empty without a model or for unusable images.
    std::vector<CustomDetection> RunInference(const cv::Mat& image, const std::string& cameraId) override;

    /// @brief Judges @p image on its own, sharing no state with any camera: only
    /// candidates that are convincing in a single frame are reported.
    std::vector<CustomDetection> RunInference(const cv::Mat& image) override;

    /// @brief Reports the "ExclusiveROIs" configuration and the parameters
    /// "SmokeScore" and "Sensitivity". Works in every state.
    bool ConfigureParameters(CustomParams& params) override;

    /// @brief Releases the model and every camera's state. True in every state.
    bool Destroy() override;

private:
    static constexpr int VOTE_WINDOW = 15;
    static constexpr int VOTE_THRESHOLD = 8;
    static constexpr int LOW_VOTE_THRESHOLD = 6;
    static constexpr float HIGH_CONF_THRESHOLD = 0.5f;
    static constexpr float LOW_CONF_FIRE_THRESHOLD = 0.25f;
    static constexpr float BBOX_CHANGE_THRESHOLD = 0.05f;
    static constexpr double FLICKER_V_STD_THRESHOLD = 3.0;
    static constexpr int FLICKER_MIN_SAMPLES = 6;
    static constexpr float DEFAULT_MIN_OBJECT_RATIO = 0.0003f;

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#endif  // VEK_CUSTOM_FS_H
