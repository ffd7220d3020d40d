// No system decoders outside Windows.
#include "decode/system_decoder.h"

namespace decode_internal {

img::HResult DecodeWithSystem(const std::vector<std::uint8_t>&, Picture*) { return img::kFail; }

}  // namespace decode_internal
