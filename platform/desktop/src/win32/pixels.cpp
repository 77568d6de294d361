// Win32 backend: the layer's RGBA images as the system's bitmaps and icons.
#include <vector>

#include "win32/win32_backend.h"

namespace desktop::detail::win32 {
namespace {

HBITMAP section(int width, int height, void** bits) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down, as the image's rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, bits, nullptr, 0);
}

}  // namespace

// A static shows a bitmap opaque: the image's alpha is laid on the colour beneath it.
HBITMAP dibFromImage(const Image& image, std::uint32_t under) {
    void* bits = nullptr;
    HBITMAP bmp = section(image.width, image.height, &bits);
    if (!bmp) return nullptr;
    auto* out = static_cast<std::uint8_t*>(bits);
    const unsigned ur = (under >> 16) & 0xFF, ug = (under >> 8) & 0xFF, ub = under & 0xFF;
    std::size_t n = std::size_t(image.width) * std::size_t(image.height);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* p = &image.rgba[i * 4];
        unsigned a = p[3];
        out[i * 4 + 0] = std::uint8_t((p[2] * a + ub * (255 - a) + 127) / 255);
        out[i * 4 + 1] = std::uint8_t((p[1] * a + ug * (255 - a) + 127) / 255);
        out[i * 4 + 2] = std::uint8_t((p[0] * a + ur * (255 - a) + 127) / 255);
        out[i * 4 + 3] = 255;
    }
    GdiFlush();
    return bmp;
}

HICON iconFromImage(const Image& image) {
    void* bits = nullptr;
    HBITMAP colour = section(image.width, image.height, &bits);
    if (!colour) return nullptr;
    auto* out = static_cast<std::uint8_t*>(bits);
    std::size_t n = std::size_t(image.width) * std::size_t(image.height);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* p = &image.rgba[i * 4];
        out[i * 4 + 0] = p[2];
        out[i * 4 + 1] = p[1];
        out[i * 4 + 2] = p[0];
        out[i * 4 + 3] = p[3];
    }
    GdiFlush();
    // The mask: transparent where the image is, for systems that ignore the colour's alpha.
    int stride = ((image.width + 15) / 16) * 2;
    std::vector<std::uint8_t> maskBits(std::size_t(stride) * std::size_t(image.height), 0);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            if (image.rgba[(std::size_t(y) * std::size_t(image.width) + std::size_t(x)) * 4 + 3] < 128)
                maskBits[std::size_t(y * stride + x / 8)] |= std::uint8_t(0x80 >> (x % 8));
    HBITMAP mask = CreateBitmap(image.width, image.height, 1, 1, maskBits.data());
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmColor = colour;
    info.hbmMask = mask;
    HICON icon = mask ? CreateIconIndirect(&info) : nullptr;
    DeleteObject(colour);
    if (mask) DeleteObject(mask);
    return icon;
}

}  // namespace desktop::detail::win32
