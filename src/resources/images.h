// The banner, the logo and the window icon: embedded in the module, decoded at load.
#pragma once

#include <cstddef>
#include <cstdint>

#include "desktop/desktop.h"

// A PNG in memory to RGBA; false (and `out` left empty) when the data is not a readable PNG.
bool decodePng(const std::uint8_t* data, std::size_t size, desktop::Image& out);
// The largest image of an ICO file in memory to RGBA (1, 4, 8, 24 and 32 bpp, or PNG entries).
bool decodeIco(const std::uint8_t* data, std::size_t size, desktop::Image& out);

// The embedded files.
struct EmbeddedFile {
    const std::uint8_t* data;
    std::size_t size;
};
EmbeddedFile bannerPng();
EmbeddedFile logoPng();
EmbeddedFile iconIco();

// Decodes the three embedded images into the given images; a failure leaves that one empty.
void decodeEmbeddedImages(desktop::Image& banner, desktop::Image& logo, desktop::Image& icon);
