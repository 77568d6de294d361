// The records handed to the host, and the embedded images with their decoders.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <tuple>
#include <vector>

#include "plugin/host_interface.h"
#include "resources/images.h"

namespace {

winampDSPModule* testGetModule(int index) { return moduleRecord(index); }
int testConfig(winampDSPModule*) { return 0; }
int testInit(winampDSPModule*) { return 0; }
int testModify(winampDSPModule*, short int*, int n, int, int, int) { return n; }
int testQuit(winampDSPModule*) { return 0; }

const HostEntryPoints entries{testGetModule, testConfig, testInit, testModify, testQuit};

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(EmbeddedFile file) { return Bytes(file.data, file.data + file.size); }

const std::uint8_t* pixel(const desktop::Image& image, int x, int y) {
    return image.rgba.data() + (static_cast<std::size_t>(y) * image.width + x) * 4;
}

}  // namespace

TEST(HostRecords, TheHeaderAndItsOneModule) {
    winampDSPHeader* header = fillHostRecords(entries);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->version, 0x20);
    EXPECT_STREQ(header->description, "Larkspur Streaming DSP");
    EXPECT_EQ(header->getModule, &testGetModule);

    winampDSPModule* module = header->getModule(0);
    ASSERT_NE(module, nullptr);
    EXPECT_STREQ(module->description, "DSP 1");
    EXPECT_EQ(module->Config, &testConfig);
    EXPECT_EQ(module->Init, &testInit);
    EXPECT_EQ(module->ModifySamples, &testModify);
    EXPECT_EQ(module->Quit, &testQuit);
    EXPECT_EQ(module->userData, nullptr);
    EXPECT_EQ(moduleRecord(1), nullptr);
    EXPECT_EQ(moduleRecord(-1), nullptr);

    module->hwndParent = 42;
    winampDSPHeader* again = fillHostRecords(entries);
    EXPECT_EQ(again, header);
    EXPECT_EQ(again->version, 0x20);
    EXPECT_STREQ(again->description, "Larkspur Streaming DSP");
    EXPECT_EQ(moduleRecord(0), module);
}

TEST(EmbeddedImages, DecodeToTheirSizesAndColours) {
    desktop::Image banner, logo, icon;
    decodeEmbeddedImages(banner, logo, icon);
    ASSERT_EQ(std::tie(banner.width, banner.height), std::make_tuple(265, 45));
    ASSERT_EQ(std::tie(logo.width, logo.height), std::make_tuple(235, 115));
    ASSERT_EQ(std::tie(icon.width, icon.height), std::make_tuple(16, 16));
    EXPECT_EQ(banner.rgba.size(), 265u * 45 * 4);

    // The banner is grey on a clear ground, with something drawn on it.
    int opaque = 0, clear = 0;
    for (int y = 0; y < banner.height; ++y)
        for (int x = 0; x < banner.width; ++x) {
            const std::uint8_t* p = pixel(banner, x, y);
            ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]);
            opaque += p[3] == 255;
            clear += p[3] == 0;
        }
    EXPECT_GT(opaque, 500);
    EXPECT_GT(clear, 5000);

    // The icon: two colours, the corners cleared by its mask.
    std::set<std::uint32_t> colours;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const std::uint8_t* p = pixel(icon, x, y);
            if (p[3] == 255) colours.insert(p[0] << 16 | p[1] << 8 | p[2]);
        }
    EXPECT_EQ(colours.size(), 2u);
    EXPECT_EQ(pixel(icon, 0, 0)[3], 0);
    EXPECT_EQ(pixel(icon, 15, 15)[3], 0);
    EXPECT_EQ(pixel(icon, 8, 8)[3], 255);
    // The top row is the image's top row (ICO rows are stored bottom-up).
    EXPECT_EQ(pixel(icon, 4, 1)[3], 255);
    const std::uint8_t* bolt = pixel(icon, 9, 2);
    const std::uint8_t* ground = pixel(icon, 2, 2);
    EXPECT_NE(std::memcmp(bolt, ground, 3), 0);
}

TEST(EmbeddedImages, BrokenDataIsRefusedWithoutReadingPastIt) {
    const Bytes png = bytesOf(bannerPng());
    const Bytes ico = bytesOf(iconIco());
    desktop::Image out;

    for (std::size_t n : {std::size_t{0}, std::size_t{8}, std::size_t{50}, png.size() / 2, png.size() - 100}) {
        SCOPED_TRACE(n);
        // A copy of exactly n bytes, so that a read beyond it is caught by the sanitizers.
        const Bytes cut(png.begin(), png.begin() + static_cast<long>(n));
        EXPECT_FALSE(decodePng(cut.data(), cut.size(), out));
        EXPECT_TRUE(out.empty());
    }
    for (std::size_t n = 0; n < ico.size(); ++n) {
        const Bytes cut(ico.begin(), ico.begin() + static_cast<long>(n));
        EXPECT_FALSE(decodeIco(cut.data(), cut.size(), out)) << n;
    }

    Bytes badOffset = ico;
    badOffset[18] = 0xff;  // the image lies beyond the file
    EXPECT_FALSE(decodeIco(badOffset.data(), badOffset.size(), out));
    Bytes hugeWidth = ico;
    hugeWidth[22 + 5] = 0x7f;  // a bitmap that claims millions of columns
    EXPECT_FALSE(decodeIco(hugeWidth.data(), hugeWidth.size(), out));
    Bytes notIco = ico;
    notIco[2] = 2;  // a cursor file
    EXPECT_FALSE(decodeIco(notIco.data(), notIco.size(), out));
    EXPECT_FALSE(decodePng(ico.data(), ico.size(), out));
}

TEST(EmbeddedImages, AnIcoMayCarryAPng) {
    const Bytes png = bytesOf(logoPng());
    Bytes ico{0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1, 0, 32, 0};
    for (int i = 0; i < 4; ++i) ico.push_back(static_cast<std::uint8_t>(png.size() >> (8 * i)));
    ico.insert(ico.end(), {22, 0, 0, 0});
    ico.insert(ico.end(), png.begin(), png.end());
    desktop::Image out;
    ASSERT_TRUE(decodeIco(ico.data(), ico.size(), out));
    EXPECT_EQ(out.width, 235);
    EXPECT_EQ(out.height, 115);
}
