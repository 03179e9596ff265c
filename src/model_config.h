// The model folder: model.yml and the files it names.
#pragma once

#include <string>
#include <vector>

namespace firesmoke {

/// Format version of model.yml that this library reads.
constexpr int kModelFormatVersion = 2;

/// @brief Thresholds of the colour-and-motion candidate stage (pixel units, 0..255).
struct ColourConfig {
    int fireMinRed = 150;       ///< a fire pixel has R at least this
    int fireMinRedBlue = 70;    ///< ... and R - B at least this
    int fireFullRedBlue = 170;  ///< R - B at which the pixel's fire score reaches 1
    int smokeMaxChroma = 24;    ///< a smoke pixel has max - min of its channels at most this
    int smokeMinValue = 90;     ///< ... and brightness within [smokeMinValue, smokeMaxValue]
    int smokeMaxValue = 235;
    int motionThreshold = 10;      ///< grey-level difference from the background that counts as motion
    double backgroundRate = 0.05;  ///< learning rate of the running background, (0, 1)

    /// @brief Whether a pixel has the colour of flames: red-orange-yellow and bright
    /// (R >= G > B, R at least fireMinRed, R - B at least fireMinRedBlue).
    bool IsFlame(int b, int g, int r) const {
        return r >= fireMinRed && r >= g && g > b && r - b >= fireMinRedBlue;
    }
};

/// @brief The learned grid network: an ONNX file and its calibration.
struct NetworkConfig {
    std::string modelFile;        ///< absolute path of the ONNX network
    std::string calibrationFile;  ///< absolute path of its calibration (YAML)
    int inputWidth = 384;         ///< network input, pixels
    int inputHeight = 224;
    int gridWidth = 24;  ///< output grid, cells
    int gridHeight = 14;
    float fireThreshold = 0.5f;   ///< cell probability calibrated as the fire operating point
    float smokeThreshold = 0.5f;  ///< the same for smoke
    /// Frames of a camera per forward pass, 1 to 25: 1 runs the network on every frame;
    /// with N, the N - 1 frames in between reuse its last grid with their own motion.
    int interval = 1;
    /// Share of a smoke region's pixels that must move for full motion evidence, 0.01 to 1:
    /// smoke drifts through its box, fog and haze stand still.
    double smokeFullMotion = 0.2;
    /// How passes run: "direct" with the detector's own kernels (they fall back to
    /// cv::dnn for a network with a layer they lack, or whose output they do not
    /// reproduce), or "dnn" with OpenCV's dnn module alone.
    std::string runtime = "direct";
};

/// @brief Evidence rules of the temporal verification that a model folder may tune.
struct VerifierRules {
    /// Share of a fire track's flame-coloured pixels that must flicker for it to be
    /// confirmed, [0, 1]; 0 turns the rule off.
    double fireFlickerShare = 0.01;
};

/// @brief Everything read from a model folder.
struct ModelConfig {
    std::string folder;  ///< the folder it was read from
    int formatVersion = 0;
    std::string name;
    std::vector<std::string> classes;  ///< names in id order
    std::string scorer;                ///< "colour" or "network"
    int workWidth = 320;               ///< width of the downscaled working frame (colour scorer)
    ColourConfig colour;
    NetworkConfig network;  ///< used when scorer is "network"
    VerifierRules verifier;

    /// @brief The label map: class names in id order joined by commas.
    std::string LabelMap() const;
};

/// @brief Reads and validates the model folder @p folder.
/// @param error on failure, a message that names the file and the problem.
/// @return false when the folder, model.yml or a file it names is missing or malformed.
bool LoadModelConfig(const std::string& folder, ModelConfig& config, std::string& error);

}  // namespace firesmoke
