// Number formatting for reprs: format("{}", 1.0) -> "1", Fixed{x, 2} -> "{:.2}",
// NaN -> "NaN", infinities -> "inf" / "-inf", booleans -> "true" / "false".
#pragma once

#include "text.hpp"

namespace segmora::py {

using segmora::Fixed;
using segmora::format;
using segmora::to_text;

}  // namespace segmora::py
