#include "scorer.h"

#include "colour_scorer.h"
#include "network_scorer.h"

namespace firesmoke {

std::unique_ptr<Scorer> MakeScorer(const ModelConfig& config) {
    // LoadModelConfig accepts only scorers that exist here.
    if (config.scorer == "network") {
        return std::make_unique<NetworkScorer>(config.network, config.colour);
    }
    return std::make_unique<ColourScorer>(config.colour, config.workWidth);
}

}  // namespace firesmoke
