// The resources of an executable built without a firmware image.

#include "app/FirmwareImage.h"

namespace app {

std::span<const TResourceEntry> EmbeddedResources() { return {}; }

}  // namespace app
