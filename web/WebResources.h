// The pages, fragments, stylesheet and pictures of the web interface, built
// into the program from web/resources and looked up by name without regard
// to case ("INDEX_HTML", "qeltv_jpg").
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace qeltv::web {

struct EmbeddedResource {
    const char* name;
    const unsigned char* data;
    std::size_t size;
};

// Made at build time.
extern const EmbeddedResource kEmbeddedResources[];
extern const std::size_t kEmbeddedResourceCount;

// The bytes of the resource of that name; nothing when there is none.
std::optional<std::string_view> FindResource(std::string_view name);

} // namespace qeltv::web
