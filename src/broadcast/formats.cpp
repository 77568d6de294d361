#include "broadcast/formats.h"

namespace formats {

int positionOf(std::string_view contentType) {
    for (std::size_t i = 0; i < all.size(); ++i)
        if (all[i].contentType == contentType) return static_cast<int>(i);
    return -1;
}

const StreamFormat* byKey(std::string_view key) {
    if (key.empty()) return nullptr;
    for (const StreamFormat& format : all)
        if (format.key == key) return &format;
    return nullptr;
}

const StreamFormat& encodedAs(std::string_view contentType) {
    const int position = positionOf(contentType);
    if (position < 0 || all[static_cast<std::size_t>(position)].program.empty()) return vorbis;
    return all[static_cast<std::size_t>(position)];
}

std::string serverType(std::string_view contentType) {
    const int position = positionOf(contentType);
    return std::string(position < 0 ? contentType : all[static_cast<std::size_t>(position)].serverType);
}

}  // namespace formats
