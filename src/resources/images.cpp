// Decoding of the embedded images: PNG through libpng, ICO by hand (a BMP with an AND mask).
#include "resources/images.h"

#include <png.h>

#include <cstring>

extern const std::uint8_t bannerPngData[];
extern const std::size_t bannerPngDataSize;
extern const std::uint8_t logoPngData[];
extern const std::size_t logoPngDataSize;
extern const std::uint8_t iconIcoData[];
extern const std::size_t iconIcoDataSize;

EmbeddedFile bannerPng() { return {bannerPngData, bannerPngDataSize}; }
EmbeddedFile logoPng() { return {logoPngData, logoPngDataSize}; }
EmbeddedFile iconIco() { return {iconIcoData, iconIcoDataSize}; }

namespace {

constexpr std::uint32_t largestImageSide = 4096;

std::uint32_t le16(const std::uint8_t* p) { return p[0] | (p[1] << 8); }
std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool isPng(const std::uint8_t* data, std::size_t size) {
    static const std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    return size >= 8 && std::memcmp(data, signature, 8) == 0;
}

// One BMP-style icon image: header, palette, colour rows and AND-mask rows, bottom-up.
bool decodeIconBitmap(const std::uint8_t* data, std::size_t size, desktop::Image& out) {
    if (size < 40) return false;
    const std::uint32_t headerSize = le32(data);
    if (headerSize < 40 || headerSize > size) return false;
    const auto width = static_cast<std::int32_t>(le32(data + 4));
    const auto doubledHeight = static_cast<std::int32_t>(le32(data + 8));
    const std::uint32_t bpp = le16(data + 14);
    const std::uint32_t compression = le32(data + 16);
    std::uint32_t paletteCount = le32(data + 32);
    if (width <= 0 || doubledHeight <= 0 || doubledHeight % 2 != 0 || compression != 0) return false;
    const auto w = static_cast<std::uint32_t>(width);
    const auto h = static_cast<std::uint32_t>(doubledHeight / 2);
    if (w > largestImageSide || h > largestImageSide) return false;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24 && bpp != 32) return false;
    if (bpp <= 8) {
        if (paletteCount == 0 || paletteCount > (1u << bpp)) paletteCount = 1u << bpp;
    } else {
        paletteCount = 0;
    }

    const std::size_t paletteOffset = headerSize;
    const std::size_t pixelsOffset = paletteOffset + std::size_t{paletteCount} * 4;
    const std::size_t colourStride = ((std::size_t{w} * bpp + 31) / 32) * 4;
    const std::size_t maskStride = ((std::size_t{w} + 31) / 32) * 4;
    const std::size_t maskOffset = pixelsOffset + colourStride * h;
    if (maskOffset > size) return false;
    // 32-bit images carry their own alpha; the AND mask may then be missing.
    const bool hasMask = maskOffset + maskStride * h <= size;
    if (!hasMask && bpp != 32) return false;

    desktop::Image image;
    image.width = static_cast<int>(w);
    image.height = static_cast<int>(h);
    image.rgba.assign(std::size_t{w} * h * 4, 0);
    for (std::uint32_t row = 0; row < h; ++row) {
        const std::uint8_t* colour = data + pixelsOffset + colourStride * (h - 1 - row);
        const std::uint8_t* mask = data + maskOffset + maskStride * (h - 1 - row);
        for (std::uint32_t x = 0; x < w; ++x) {
            std::uint8_t r, g, b, a = 255;
            if (bpp <= 8) {
                const std::size_t bit = std::size_t{x} * bpp;
                const std::uint32_t index =
                    (colour[bit / 8] >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
                if (index >= paletteCount) return false;
                const std::uint8_t* entry = data + paletteOffset + std::size_t{index} * 4;
                b = entry[0], g = entry[1], r = entry[2];
            } else {
                const std::uint8_t* p = colour + std::size_t{x} * (bpp / 8);
                b = p[0], g = p[1], r = p[2];
                if (bpp == 32) a = p[3];
            }
            if (hasMask && (mask[x / 8] >> (7 - x % 8)) & 1) a = 0;
            std::uint8_t* px = image.rgba.data() + (std::size_t{row} * w + x) * 4;
            px[0] = r, px[1] = g, px[2] = b, px[3] = a;
        }
    }
    out = std::move(image);
    return true;
}

}  // namespace

bool decodePng(const std::uint8_t* data, std::size_t size, desktop::Image& out) {
    out = desktop::Image{};
    if (data == nullptr || !isPng(data, size)) return false;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data, size)) return false;
    if (image.width == 0 || image.height == 0 || image.width > largestImageSide ||
        image.height > largestImageSide) {
        png_image_free(&image);
        return false;
    }
    image.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.rgba = std::move(pixels);
    return true;
}

bool decodeIco(const std::uint8_t* data, std::size_t size, desktop::Image& out) {
    out = desktop::Image{};
    if (data == nullptr || size < 6) return false;
    if (le16(data) != 0 || le16(data + 2) != 1) return false;
    const std::uint32_t count = le16(data + 4);
    if (count == 0 || 6 + std::size_t{count} * 16 > size) return false;

    // The largest entry (0 in a size byte means 256), the deepest on a tie.
    std::uint32_t best = count;
    std::uint32_t bestArea = 0, bestDepth = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = data + 6 + std::size_t{i} * 16;
        const std::uint32_t w = entry[0] ? entry[0] : 256, h = entry[1] ? entry[1] : 256;
        const std::uint32_t depth = le16(entry + 6);
        if (w * h > bestArea || (w * h == bestArea && depth > bestDepth)) {
            best = i, bestArea = w * h, bestDepth = depth;
        }
    }
    const std::uint8_t* entry = data + 6 + std::size_t{best} * 16;
    const std::size_t length = le32(entry + 8);
    const std::size_t offset = le32(entry + 12);
    if (offset > size || length > size - offset) return false;
    if (isPng(data + offset, length)) return decodePng(data + offset, length, out);
    return decodeIconBitmap(data + offset, length, out);
}

void decodeEmbeddedImages(desktop::Image& banner, desktop::Image& logo, desktop::Image& icon) {
    const EmbeddedFile b = bannerPng(), l = logoPng(), i = iconIco();
    decodePng(b.data, b.size, banner);
    decodePng(l.data, l.size, logo);
    decodeIco(i.data, i.size, icon);
}
