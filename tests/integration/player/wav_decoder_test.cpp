// The WAV reader of the Windows player, compiled here and held against libsndfile: every
// encoding the host meets decodes to the same samples, the tags are found wherever the
// chunk sits, and what it cannot read is refused with a reason.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "decoder.h"

namespace {

class WavDecoder : public ::testing::Test {
protected:
    std::string dir_;
    void SetUp() override {
        char tmpl[] = "/tmp/larkspur-wav.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    // A sweep of levels (and a full-scale peak each way) through libsndfile.
    std::string write(const std::string& name, int format, int rate, int channels, bool tags = true) {
        const std::string path = dir_ + "/" + name;
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = format;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
        if (!f) return path;
        if (tags) {
            sf_set_string(f, SF_STR_ARTIST, "Wren Test");
            sf_set_string(f, SF_STR_TITLE, "Windows Tone");
        }
        std::vector<float> frames(static_cast<std::size_t>(rate / 10 * channels));
        for (std::size_t i = 0; i < frames.size(); ++i)
            frames[i] = static_cast<float>(0.9 * std::sin(0.01 * double(i)) * (i % 3 == 0 ? 1 : -0.5));
        frames[0] = 1.0f;
        frames[1] = -1.0f;
        sf_writef_float(f, frames.data(), static_cast<sf_count_t>(frames.size()) / channels);
        sf_close(f);
        return path;
    }

    static std::vector<float> reference(const std::string& path, SF_INFO& info) {
        info = {};
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        std::vector<float> out(static_cast<std::size_t>(info.frames * info.channels));
        sf_readf_float(f, out.data(), info.frames);
        sf_close(f);
        return out;
    }

    // Read in odd pieces, as the player's refill does.
    static std::vector<float> decode(host::Decoder& d) {
        std::vector<float> out, piece(static_cast<std::size_t>(333 * d.channels()));
        while (std::size_t n = d.read(piece.data(), 333))
            out.insert(out.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n) * d.channels());
        return out;
    }
};

TEST_F(WavDecoder, EveryEncodingDecodesAsLibsndfileDecodesIt) {
    struct Case {
        const char* name;
        int format, rate, channels;
    } cases[] = {
        {"u8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 8000, 1},
        {"s16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2},
        {"s24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 2},
        {"s32.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 96000, 1},
        {"f32.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 22050, 2},
        {"f64.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 32000, 1},
        {"ext24.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 44100, 6},
        {"extf32.wav", SF_FORMAT_WAVEX | SF_FORMAT_FLOAT, 44100, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write(c.name, c.format, c.rate, c.channels);
        SF_INFO info;
        const std::vector<float> want = reference(path, info);
        std::string error;
        host::FileTags tags;
        auto d = host::openDecoder(path, &tags, error);
        ASSERT_NE(d, nullptr) << error;
        EXPECT_EQ(d->rate(), c.rate);
        EXPECT_EQ(d->channels(), c.channels);
        EXPECT_EQ(tags.artist, "Wren Test");
        EXPECT_EQ(tags.title, "Windows Tone");
        const std::vector<float> got = decode(*d);
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 1e-6) << "sample " << i;
    }
}

TEST_F(WavDecoder, AFileCutShortOrWithoutTagsStillPlays) {
    const std::string path = write("cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, false);
    SF_INFO info;
    const std::vector<float> whole = reference(path, info);
    // A recorder that died mid-way: the header claims more than the file holds, half a frame
    // dangles at the end.
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes.resize(bytes.size() / 2 + 1);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;

    std::string error;
    host::FileTags tags{"stale", "stale"};
    auto d = host::openDecoder(path, &tags, error);
    ASSERT_NE(d, nullptr) << error;
    EXPECT_EQ(tags.artist, "");
    EXPECT_EQ(tags.title, "");
    const std::vector<float> got = decode(*d);
    EXPECT_GT(got.size(), whole.size() / 2 - 32);  // the header is part of the half kept
    EXPECT_LT(got.size(), whole.size() / 2 + 1);
    EXPECT_EQ(got.size() % 2, 0u) << "whole frames only";
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_FLOAT_EQ(got[i], whole[i]) << i;
}

TEST_F(WavDecoder, WhatItCannotReadIsRefusedWithAReason) {
    const std::string adpcm = write("adpcm.wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 44100, 1);
    const std::string flac = write("song.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2);
    const std::string text = dir_ + "/notes.wav", empty = dir_ + "/empty.wav";
    std::ofstream(text) << "RIFF....WAVE but only words";
    std::ofstream(empty, std::ios::binary) << std::string("RIFF\0\0\0\0WAVE", 12);
    struct Case {
        std::string path, reason;
    } cases[] = {{adpcm, "encoding"},
                 {flac, "not a WAV file"},
                 {text, "without its format"},
                 {empty, "without its format"},
                 {dir_ + "/missing.wav", "cannot open"}};
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(host::openDecoder(c.path, nullptr, error), nullptr) << c.path;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.path << ": " << error;
    }
}

}  // namespace
