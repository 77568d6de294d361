/* A small Ogg Vorbis encoder for the Windows suites: raw 16-bit little-endian PCM on stdin,
 * Ogg Vorbis on stdout, taking the options the plug-in passes:
 *   oggenc -r [-R RATE] [-C CHANNELS] [-b KBPS] [-m MAX_KBPS] -
 */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vorbis/vorbisenc.h>

static int writePage(const ogg_page* page) {
    return fwrite(page->header, 1, (size_t)page->header_len, stdout) == (size_t)page->header_len &&
           fwrite(page->body, 1, (size_t)page->body_len, stdout) == (size_t)page->body_len;
}

int main(int argc, char** argv) {
    long rate = 44100, channels = 2, nominal = 128, maximum = -1;
    int fromStdin = 0;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (strcmp(a, "-r") == 0) continue; /* raw input is the only input */
        if (strcmp(a, "-") == 0) {
            fromStdin = 1;
        } else if (i + 1 < argc && (strcmp(a, "-R") == 0 || strcmp(a, "-C") == 0 || strcmp(a, "-b") == 0 ||
                                    strcmp(a, "-m") == 0)) {
            long v = strtol(argv[++i], NULL, 10);
            if (v <= 0) {
                fprintf(stderr, "oggenc: bad value for %s\n", a);
                return 2;
            }
            if (a[1] == 'R') rate = v;
            if (a[1] == 'C') channels = v;
            if (a[1] == 'b') nominal = v;
            if (a[1] == 'm') maximum = v;
        } else {
            fprintf(stderr, "oggenc: unknown option %s\n", a);
            return 2;
        }
    }
    if (!fromStdin || channels > 8) {
        fprintf(stderr, "usage: oggenc -r [-R rate] [-C channels] [-b kbps] [-m kbps] -\n");
        return 2;
    }
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);

    vorbis_info vi;
    vorbis_info_init(&vi);
    if (vorbis_encode_init(&vi, channels, rate, maximum > 0 ? maximum * 1000 : -1, nominal * 1000, -1) != 0) {
        fprintf(stderr, "oggenc: cannot encode %ld Hz, %ld channels at %ld kb/s\n", rate, channels, nominal);
        return 1;
    }
    vorbis_comment vc;
    vorbis_comment_init(&vc);
    vorbis_dsp_state vd;
    vorbis_block vb;
    vorbis_analysis_init(&vd, &vi);
    vorbis_block_init(&vd, &vb);
    ogg_stream_state os;
    srand((unsigned)time(NULL));
    ogg_stream_init(&os, rand());

    ogg_packet header, comments, codebooks;
    vorbis_analysis_headerout(&vd, &vc, &header, &comments, &codebooks);
    ogg_stream_packetin(&os, &header);
    ogg_stream_packetin(&os, &comments);
    ogg_stream_packetin(&os, &codebooks);
    ogg_page page;
    while (ogg_stream_flush(&os, &page))
        if (!writePage(&page)) return 1;
    fflush(stdout);

    enum { frames = 1024 };
    static unsigned char raw[frames * 2 * 8];
    const size_t frameBytes = (size_t)channels * 2;
    size_t held = 0;
    int eos = 0;
    while (!eos) {
        size_t n = fread(raw + held, 1, sizeof raw - held, stdin);
        held += n;
        size_t whole = held / frameBytes;
        if (n == 0) {
            vorbis_analysis_wrote(&vd, 0); /* end of input */
        } else if (whole > 0) {
            float** buf = vorbis_analysis_buffer(&vd, (int)whole);
            for (size_t f = 0; f < whole; ++f)
                for (long c = 0; c < channels; ++c) {
                    const unsigned char* s = raw + f * frameBytes + (size_t)c * 2;
                    buf[c][f] = (short)(s[0] | (s[1] << 8)) / 32768.0f;
                }
            vorbis_analysis_wrote(&vd, (int)whole);
            held -= whole * frameBytes;
            memmove(raw, raw + whole * frameBytes, held);
        } else {
            continue;
        }
        while (vorbis_analysis_blockout(&vd, &vb) == 1) {
            vorbis_analysis(&vb, NULL);
            vorbis_bitrate_addblock(&vb);
            ogg_packet packet;
            while (vorbis_bitrate_flushpacket(&vd, &packet)) {
                ogg_stream_packetin(&os, &packet);
                while (ogg_stream_pageout(&os, &page)) {
                    if (!writePage(&page)) return 1;
                    if (ogg_page_eos(&page)) eos = 1;
                }
            }
        }
        fflush(stdout); /* a live stream: pages leave as soon as they are made */
        if (n == 0) eos = 1;
    }
    ogg_stream_clear(&os);
    vorbis_block_clear(&vb);
    vorbis_dsp_clear(&vd);
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&vi);
    return 0;
}
