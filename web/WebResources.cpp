#include "web/WebResources.h"

#include "common/Ascii.h"

namespace qeltv::web {

std::optional<std::string_view> FindResource(std::string_view name) {
    for (std::size_t i = 0; i < kEmbeddedResourceCount; ++i) {
        const EmbeddedResource& r = kEmbeddedResources[i];
        if (equalsIgnoringAsciiCase(r.name, name))
            return std::string_view(reinterpret_cast<const char*>(r.data), r.size);
    }
    return std::nullopt;
}

} // namespace qeltv::web
