// Number formatting for reprs: format("{}", 1.0) -> "1", Fixed{x, 2} -> "{:.2}",
// NaN -> "NaN", infinities -> "inf" / "-inf", booleans -> "true" / "false".
#pragma once

#include "engine/text.hpp"

namespace segmora::py {

using engine::Fixed;
using engine::format;
using engine::to_text;

}  // namespace segmora::py
