// The resources of an executable built without a firmware image.

#include "app/FirmwareImage.h"
#include "app/ImageDigest.h"

namespace app {

std::span<const TResourceEntry> EmbeddedResources() { return {}; }

std::optional<std::string> RecordedImageDigest() { return std::nullopt; }

}  // namespace app
