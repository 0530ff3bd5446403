// Entry points of the pipeline's steps that the public header doesn't show.
#pragma once

#include <string>
#include <string_view>

#include "optimize/optimizer.h"

namespace zelk {

// Step 5 with the trace called after each expression ("boilerplate " + expression).
std::string removeBoilerplateTraced(std::string_view text, const OptimizerTrace& trace);
// The fifteen notice expressions only (what the fidelity check takes out of its input).
std::string removeNoticesOnly(std::string_view text);

}  // namespace zelk
