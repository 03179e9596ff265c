/// @file VEKCustomFS.h
/// @brief VEKCustomFS: the fire-and-smoke detector of the VEKCustomFireNSmokeDetection library
/// (CMake: find_package(VEKCustomFireNSmokeDetection CONFIG), target VEK::FireNSmokeDetection).
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
/// Life cycle: construct -> Initialize -> [OptimizeModel] -> RunInference ... -> Destroy
/// -> destruct. Initialize may be called again (it first releases the loaded model and
/// every camera's state) and may follow Destroy. Before a successful Initialize and
/// after Destroy, RunInference answers with an empty list and OptimizeModel with false.
///
/// Threads: Initialize, OptimizeModel, Destroy, SetParameters and the destructor
/// must not run while another thread uses the object. RunInference and
/// ConfigureParameters may be called from any number of threads at once: calls for
/// different cameras run in parallel, calls for the same camera are serialised.
/// (Should a host overlap Initialize, OptimizeModel or Destroy with RunInference anyway,
/// the detector serialises them: the call waits for running inferences and new ones
/// wait for it. SetParameters and the destructor have no such protection.)
///
/// No operation throws. A failure is logged on standard error as one line
/// "[VEKCustomFS] <operation or camera 'id'>: <cause>", and reported as false or an
/// empty list. Initialize logs every failure; RunInference logs once per camera and cause
/// (a stream of unusable frames produces one line, not one per frame).
///
/// Parameters taken from customParams (set with SetParameters) on every RunInference,
/// so a change applies from the next frame:
/// - Parameters "SmokeScore" (float in [0, 1], in Number): the minimum confidence of a
///   reported smoke detection, on top of the Initialize threshold. Default 0.5.
/// - Parameters "Sensitivity" (float in [0, 1], in Number): 0.5 is the calibrated
///   operating point; higher values lower the candidate thresholds (earlier alarms,
///   more false alarms), lower values raise them. The score a frame's candidate needs
///   to count as a vote is scaled by (1.5 - Sensitivity): 1 halves it, 0 raises it by half.
/// - Parameters are found by exact Name; the last one of a name wins. Number is clamped
///   to [0, 1]; NaN or infinity keeps the default. DataType, MinValue and MaxValue are not read.
/// - Items whose Text is "ExclusiveROIs": one exclusive rectangle each, Values holding
///   x, y, width, height as fractions of the frame size in [0, 1] (x, y: top-left corner;
///   x and width relative to the frame's width, y and height to its height). A detection
///   whose box centre lies inside any exclusive rectangle (edges included) is dropped.
///   Items with fewer than 4 values, a non-finite value, or a width or height <= 0 are
///   ignored; values beyond the fourth are ignored. At most 20 rectangles are used (the
///   first 20 valid items).
/// - Everything else in customParams is ignored.
///
/// Detections: classId 0 or 2, text "fire" or "smoke", confidence in [threshold, 1]
/// (smoke also at least SmokeScore), box in the caller's image coordinates, clipped to
/// the image and covering at least 0.03 % of its area. The other fields stay empty.
class VEKCUSTOMFS_EXPORT VEKCustomFS : public IVEKCustomClass {
public:
    /// @brief Creates a detector without a model. Only allocates its private state, and
    /// throws only when that fails (std::bad_alloc).
    VEKCustomFS();
    /// @brief Releases everything, like Destroy. Not while another thread uses the object.
    ~VEKCustomFS();
    /// Neither copyable nor movable: hosts construct the detector where it lives.
    VEKCustomFS(const VEKCustomFS&) = delete;
    VEKCustomFS& operator=(const VEKCustomFS&) = delete;

    /// @brief Loads and validates the model folder (model.yml and the files it names).
    ///
    /// Life cycle: first call after construction or Destroy; a repeated call first
    /// releases the loaded model and every camera's state, also when it then fails.
    /// Threads: not while another thread uses the object.
    /// @param modelDir  folder of the model, e.g. ".../VEK_FireSmoke_v2.0".
    /// @param threshold minimum reported confidence, in [0, 1]; a value outside (or NaN)
    ///                  makes Initialize fail. 0.5 is the usual choice: confirmed camera
    ///                  detections have a confidence of at least 0.5 anyway.
    /// @param labelMap  on success, "fire,background,smoke"; untouched on failure.
    /// @return false, with a message naming the file and the problem, when the folder
    ///         is missing or malformed or the threshold is out of range; the detector
    ///         then behaves as never initialised.
    bool Initialize(const std::string& modelDir, float threshold, std::string& labelMap) override;

    /// @brief Prepares the loaded model for inference (warm-up and lookup tables).
    ///
    /// Life cycle: optional, after a successful Initialize and before the first
    /// RunInference, whose first frames are otherwise slower. With @p optimize true it
    /// loads every pooled network and runs the candidate stage once on a blank
    /// 1920x1080 frame on the calling thread; with false it does nothing.
    /// Threads: not while another thread uses the object.
    /// @param optimize true to warm up; false to do nothing.
    /// @return false before a successful Initialize or when the warm-up fails (the
    ///         model stays loaded and usable); true otherwise.
    bool OptimizeModel(bool optimize) override;

    /// @brief Detects fire and smoke in one frame of the camera @p cameraId.
    ///
    /// Temporal state (motion, tracks, votes) is kept per camera and reset when the
    /// camera's frame size changes; the least recently used cameras are forgotten
    /// beyond a fixed number (128). Boxes are in @p image coordinates, clipped to it.
    /// A track is reported once it has collected 8 votes in a window of its last 15
    /// frames (6 for flickering fire), and only in frames where it is seen; so the first
    /// frames of a camera, and a fire that has just appeared, give an empty list.
    /// Boxes that do not move over the window (lamps, signs) are not reported.
    /// The network runs on one frame of the camera in `interval` (model.yml, 1 to 25;
    /// 3 in the bundled model); the frames in between reuse its last result with their
    /// own motion and colour, so their calls cost much less.
    ///
    /// Life cycle: after Initialize, any number of times. Threads: any number at once;
    /// calls for the same camera are serialised, so frames of one camera should come
    /// from one thread in order.
    /// @param image any 1-, 3- or 4-channel (gray, BGR, BGRA) two-dimensional image of
    ///        8-, 16- or 32-bit integer or floating-point depth (floating point read as
    ///        [0, 1], NaN as 0), 16 to 16384 pixels on each side. Sub-images are fine.
    /// @param cameraId any string, the empty one included; compared exactly.
    /// @return confirmed detections; empty when nothing is confirmed in this frame,
    ///         without a model, or for an unusable image (empty, too small or large, other
    ///         channel counts), which is logged once per camera and leaves its state as is.
    std::vector<CustomDetection> RunInference(const cv::Mat& image, const std::string& cameraId) override;

    /// @brief Judges @p image on its own, sharing no state with any camera: only
    /// candidates that are convincing in a single frame are reported.
    ///
    /// Without history or motion, a candidate is reported when its score reaches
    /// max(0.5 * (1.5 - Sensitivity), threshold); SmokeScore and the exclusive
    /// rectangles apply as for the camera overload. Life cycle, threads and @p image as
    /// for the camera overload; calls do not affect each other.
    /// @param image as for the camera overload.
    /// @return the detections; empty when there is none, without a model, or for an
    ///         unusable image.
    std::vector<CustomDetection> RunInference(const cv::Mat& image) override;

    /// @brief Reports the "ExclusiveROIs" configuration and the parameters
    /// "SmokeScore" and "Sensitivity". Works in every state.
    ///
    /// Replaces params.ROI_Config with one entry (Name "ExclusiveROIs", rectangles only,
    /// 0 to 20 items) and params.Parameters with "SmokeScore" and "Sensitivity" (DataType
    /// "float", Number 0.5, MinValue 0, MaxValue 1); Options and Items are left as they
    /// are. The detector's own customParams is not touched: pass the result to
    /// SetParameters to apply it. Threads: any number at once, each with its own @p params.
    /// @param params receives the configuration.
    /// @return true; false only when memory runs out (@p params may then be partly filled).
    bool ConfigureParameters(CustomParams& params) override;

    /// @brief Releases the model and every camera's state. True in every state.
    ///
    /// Life cycle: may be repeated; Initialize may follow. customParams is kept.
    /// Threads: not while another thread uses the object.
    /// @return true.
    bool Destroy() override;

private:
    static constexpr int VOTE_WINDOW = 15;                   ///< frames a track remembers
    static constexpr int VOTE_THRESHOLD = 8;                 ///< strong votes in the window that confirm
    static constexpr int LOW_VOTE_THRESHOLD = 6;             ///< weak votes that confirm flickering fire
    static constexpr float HIGH_CONF_THRESHOLD = 0.5f;       ///< score of a strong vote
    static constexpr float LOW_CONF_FIRE_THRESHOLD = 0.25f;  ///< score of a weak fire vote
    static constexpr float BBOX_CHANGE_THRESHOLD = 0.05f;    ///< most box change (1 - IoU) of a static track
    static constexpr double FLICKER_V_STD_THRESHOLD = 3.0;   ///< brightness std that counts as flicker
    static constexpr int FLICKER_MIN_SAMPLES = 6;            ///< samples needed to judge flicker
    static constexpr float DEFAULT_MIN_OBJECT_RATIO = 0.0003f;  ///< smallest box / frame area

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#endif  // VEK_CUSTOM_FS_H
