/* The audio library: output device, capture, push streams, volume effect, mixer,
 * external encoders, casting to a SHOUTcast v1 server and notifications.
 *
 * Conventions
 *  - Handles are 32-bit; 0 means none or failure. BOOL is 32-bit, FALSE = 0.
 *  - Every call sets the calling thread's error code, read with BASS_ErrorGetCode:
 *    0 (BASS_OK) after a success, one of the BASS_ERROR_* codes after a failure.
 *  - Every call may be made from any thread. BASS_StreamPutData is the only call made from
 *    the host's playback thread: it is wait-free and never allocates.
 *  - Notification callbacks (BASS_Encode_SetNotify) run on a thread of the library's own;
 *    inside one, the caller may stop the mixer that owns the notifying encoder.
 */
#ifndef LARKSPUR_BASS_H
#define LARKSPUR_BASS_H

#include <stdint.h>

#if defined(_WIN32)
#define BASSDEF(t) __declspec(dllimport) t
#else
#define BASSDEF(t) __attribute__((visibility("default"))) t
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DWORD;
typedef uint64_t QWORD;
typedef int32_t BOOL;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef DWORD HSTREAM;  /* push stream or mixer */
typedef DWORD HRECORD;  /* capture channel */
typedef DWORD HFX;      /* effect on a channel */
typedef DWORD HENCODE;  /* encoder on a channel */

/* Error codes */
#define BASS_OK                0
#define BASS_ERROR_MEM         1
#define BASS_ERROR_FILEOPEN    2
#define BASS_ERROR_DRIVER      3
#define BASS_ERROR_HANDLE      5
#define BASS_ERROR_FORMAT      6
#define BASS_ERROR_INIT        8
#define BASS_ERROR_START       9
#define BASS_ERROR_ALREADY     14
#define BASS_ERROR_NOCHAN      18
#define BASS_ERROR_ILLTYPE     19
#define BASS_ERROR_ILLPARAM    20
#define BASS_ERROR_DEVICE      23
#define BASS_ERROR_NOPLAY      24
#define BASS_ERROR_FREQ        25
#define BASS_ERROR_NONET       32
#define BASS_ERROR_CREATE      33
#define BASS_ERROR_NOTAVAIL    37
#define BASS_ERROR_TIMEOUT     40
#define BASS_ERROR_ENDED       45
#define BASS_ERROR_BUSY        46
#define BASS_ERROR_CAST_DENIED 2100
#define BASS_ERROR_UNKNOWN     -1

/* Device info flags */
#define BASS_DEVICE_ENABLED 1
#define BASS_DEVICE_DEFAULT 2
#define BASS_DEVICE_INIT    4

typedef struct {
    const char *name;   /* description, 8-bit text */
    const char *driver; /* the sound server's own name of the device */
    DWORD flags;
} BASS_DEVICEINFO;

/* Channel and stream flags */
#define BASS_SAMPLE_8BITS     1
#define BASS_SAMPLE_FLOAT     256
#define BASS_RECORD_PAUSE     0x8000
#define BASS_STREAM_AUTOFREE  0x40000
#define BASS_STREAM_DECODE    0x200000
#define BASS_MIXER_NONSTOP    0x20000
#define BASS_MIXER_FILTER     0x1000

/* Attributes and positions */
#define BASS_ATTRIB_VOL 2
#define BASS_POS_BYTE   0

/* Capture input */
#define BASS_INPUT_ON 0x20000

/* Effects */
#define BASS_FX_BFX_VOLUME 0x10003
typedef struct {
    int lChannel;  /* 0 = all channels together */
    float fVolume; /* linear factor, 1.0 = unchanged */
} BASS_BFX_VOLUME;

/* Encoder flags and notifications */
#define BASS_ENCODE_NOHEAD   1
#define BASS_ENCODE_AUTOFREE 0x40000
#define BASS_ENCODE_NOTIFY_ENCODER      1       /* the encoder process died */
#define BASS_ENCODE_NOTIFY_CAST         2       /* the server connection died */
#define BASS_ENCODE_NOTIFY_CAST_TIMEOUT 0x10000 /* sending stalled; nothing ended */

typedef DWORD (STREAMPROC)(HSTREAM handle, void *buffer, DWORD length, void *user);
#define STREAMPROC_PUSH ((STREAMPROC *)-1)
typedef BOOL (RECORDPROC)(HRECORD handle, const void *buffer, DWORD length, void *user);
typedef void (ENCODEPROC)(HENCODE handle, DWORD channel, const void *buffer, DWORD length, void *user);
typedef void (ENCODENOTIFYPROC)(HENCODE handle, DWORD status, void *user);

/* Errors */
BASSDEF(int) BASS_ErrorGetCode(void);

/* Output device: `win` is the owner window's native id (may be 0). */
BASSDEF(BOOL) BASS_Init(int device, DWORD freq, DWORD flags, void *win, const void *dsguid);
BASSDEF(BOOL) BASS_Free(void);

/* Capture */
BASSDEF(BOOL) BASS_RecordGetDeviceInfo(DWORD device, BASS_DEVICEINFO *info);
BASSDEF(BOOL) BASS_RecordInit(int device);
BASSDEF(BOOL) BASS_RecordFree(void);
BASSDEF(HRECORD) BASS_RecordStart(DWORD freq, DWORD chans, DWORD flags, RECORDPROC *proc, void *user);
BASSDEF(BOOL) BASS_RecordSetInput(int input, DWORD flags, float volume);

/* Streams and channels */
BASSDEF(HSTREAM) BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC *proc, void *user);
BASSDEF(DWORD) BASS_StreamPutData(HSTREAM handle, const void *buffer, DWORD length);
BASSDEF(BOOL) BASS_StreamFree(HSTREAM handle);
BASSDEF(BOOL) BASS_ChannelPlay(DWORD handle, BOOL restart);
BASSDEF(BOOL) BASS_ChannelStop(DWORD handle);
BASSDEF(BOOL) BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value);
BASSDEF(double) BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos);

/* Effects */
BASSDEF(DWORD) BASS_FX_GetVersion(void);
BASSDEF(HFX) BASS_ChannelSetFX(DWORD handle, DWORD type, int priority);
BASSDEF(BOOL) BASS_FXSetParameters(HFX handle, const void *params);

/* Mixer */
BASSDEF(HSTREAM) BASS_Mixer_StreamCreate(DWORD freq, DWORD chans, DWORD flags);
BASSDEF(BOOL) BASS_Mixer_StreamAddChannel(HSTREAM handle, DWORD channel, DWORD flags);
BASSDEF(QWORD) BASS_Mixer_ChannelGetPosition(DWORD handle, DWORD mode);

/* Encoding and casting */
BASSDEF(HENCODE) BASS_Encode_Start(DWORD handle, const char *cmdline, DWORD flags, ENCODEPROC *proc, void *user);
BASSDEF(BOOL) BASS_Encode_CastInit(HENCODE handle, const char *server, const char *pass, const char *content,
                                   const char *name, const char *url, const char *genre, const char *desc,
                                   const char *headers, DWORD bitrate, BOOL pub);
BASSDEF(BOOL) BASS_Encode_CastSetTitle(HENCODE handle, const char *title, const char *url);
BASSDEF(BOOL) BASS_Encode_SetNotify(HENCODE handle, ENCODENOTIFYPROC *proc, void *user);

#ifdef __cplusplus
}
#endif

#endif
