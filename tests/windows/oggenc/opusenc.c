/* A small Ogg Opus encoder for Windows over libopusenc: raw 16-bit little-endian PCM on stdin,
 * Ogg Opus on stdout, taking the options the plug-in and the audio library pass:
 *   opusenc [--quiet] --raw [--raw-rate RATE] [--raw-chan N] [--bitrate KBPS] [--cvbr]
 *           [--serial N] [--title TEXT] [--artist TEXT] - -
 * Tags arrive in the system's code page and are stored as UTF-8, as comment headers want. */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <shellapi.h>

#include <opusenc.h>

static int writeOut(void* user, const unsigned char* data, opus_int32 len) {
    (void)user;
    /* A live stream: pages leave as soon as they are made. */
    return fwrite(data, 1, (size_t)len, stdout) != (size_t)len || fflush(stdout) != 0;
}

static int closeOut(void* user) {
    (void)user;
    return fflush(stdout) != 0;
}

/* The arguments as UTF-8, whatever code page the command line came in. */
static char** utf8Arguments(int* argc) {
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), argc);
    if (!wide) return NULL;
    char** out = calloc((size_t)*argc + 1, sizeof *out);
    for (int i = 0; out && i < *argc; ++i) {
        int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, NULL, 0, NULL, NULL);
        out[i] = malloc((size_t)(n > 0 ? n : 1));
        if (!out[i] || WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, out[i], n, NULL, NULL) <= 0) return NULL;
    }
    LocalFree(wide);
    return out;
}

int main(void) {
    int argc = 0;
    char** argv = utf8Arguments(&argc);
    if (!argv) return 1;
    long rate = 48000, channels = 2, kbps = 96, serial = -1;
    const char *title = NULL, *artist = NULL;
    int raw = 0, dashes = 0, constrained = 0;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const int takesValue = strcmp(a, "--raw-rate") == 0 || strcmp(a, "--raw-chan") == 0 ||
                               strcmp(a, "--bitrate") == 0 || strcmp(a, "--serial") == 0 ||
                               strcmp(a, "--title") == 0 || strcmp(a, "--artist") == 0;
        if (strcmp(a, "--quiet") == 0) continue;
        if (strcmp(a, "--cvbr") == 0) {
            constrained = 1;
            continue;
        }
        if (strcmp(a, "--raw") == 0) {
            raw = 1;
        } else if (strcmp(a, "-") == 0) {
            ++dashes;
        } else if (takesValue && i + 1 < argc) {
            const char* v = argv[++i];
            if (strcmp(a, "--title") == 0) title = v;
            else if (strcmp(a, "--artist") == 0) artist = v;
            else {
                char* end = NULL;
                long n = strtol(v, &end, 10);
                if (!*v || *end || n < 0 || (n == 0 && strcmp(a, "--serial") != 0)) {
                    fprintf(stderr, "opusenc: bad value for %s\n", a);
                    return 2;
                }
                if (a[2] == 'r' && a[6] == 'r') rate = n;
                if (a[2] == 'r' && a[6] == 'c') channels = n;
                if (a[2] == 'b') kbps = n;
                if (a[2] == 's') serial = n;
            }
        } else {
            fprintf(stderr, "opusenc: unknown option %s\n", a);
            return 2;
        }
    }
    if (!raw || dashes != 2 || channels < 1 || channels > 2) {
        fprintf(stderr, "usage: opusenc --raw [--raw-rate rate] [--raw-chan 1|2] [--bitrate kbps] [--cvbr] [--serial n] "
                        "[--title text] [--artist text] - -\n");
        return 2;
    }
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);

    OggOpusComments* comments = ope_comments_create();
    if (!comments) return 1;
    if (title) ope_comments_add(comments, "TITLE", title);
    if (artist) ope_comments_add(comments, "ARTIST", artist);
    OpusEncCallbacks callbacks = {writeOut, closeOut};
    int err = 0;
    OggOpusEnc* enc = ope_encoder_create_callbacks(&callbacks, NULL, comments, (opus_int32)rate, (int)channels, 0, &err);
    if (!enc) {
        fprintf(stderr, "opusenc: cannot encode %ld Hz, %ld channels: %s\n", rate, channels, ope_strerror(err));
        return 1;
    }
    ope_encoder_ctl(enc, OPUS_SET_BITRATE((opus_int32)(kbps * 1000)));
    if (constrained) ope_encoder_ctl(enc, OPUS_SET_VBR_CONSTRAINT(1));
    if (serial >= 0) ope_encoder_ctl(enc, OPE_SET_SERIALNO((opus_int32)serial));

    enum { frames = 960 };
    static unsigned char bytes[frames * 2 * 2];
    static opus_int16 pcm[frames * 2];
    const size_t frameBytes = (size_t)channels * 2;
    size_t held = 0;
    for (;;) {
        size_t n = fread(bytes + held, 1, sizeof bytes - held, stdin);
        if (n == 0) break;
        held += n;
        size_t whole = held / frameBytes;
        for (size_t i = 0; i < whole * (size_t)channels; ++i)
            pcm[i] = (opus_int16)(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        if (whole > 0 && ope_encoder_write(enc, pcm, (int)whole) != OPE_OK) return 1;
        held -= whole * frameBytes;
        memmove(bytes, bytes + whole * frameBytes, held);
    }
    err = ope_encoder_drain(enc);
    ope_encoder_destroy(enc);
    ope_comments_destroy(comments);
    return err == OPE_OK ? 0 : 1;
}
