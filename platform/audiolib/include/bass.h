/* The audio library: output device, capture, push streams, volume effect, mixer,
 * external encoders, casting to a SHOUTcast v1 or Icecast 2 server and notifications.
 *
 * Conventions
 *  - Handles are 32-bit; 0 means none or failure. BOOL is 32-bit, FALSE = 0.
 *  - Every call sets the calling thread's error code, read with BASS_ErrorGetCode:
 *    0 (BASS_OK) after a success, one of the BASS_ERROR_* codes after a failure.
 *  - Every call may be made from any thread. BASS_StreamPutData is the only call made from
 *    the host's playback thread: it is wait-free and never allocates.
 *  - No call throws or lets anything thrown inside the library reach the caller, on any
 *    thread: running out of memory or threads fails the call with BASS_ERROR_MEM.
 *  - Lifetimes: freeing a handle frees what belongs to it (a stream's effects, a mixer's
 *    encoders) and unplugs it from what it belongs to (a source from its mixer). A handle
 *    freed on another thread while a call on it runs makes that call fail with
 *    BASS_ERROR_HANDLE or act on nothing; it never ties anything to the freed object. At most
 *    4095 handles are alive at once; freed ones are used again (under a new value), so a
 *    caller that frees what it makes never runs out.
 *  - Callbacks (BASS_Encode_SetNotify, an ENCODEPROC) run on threads of the library's own;
 *    inside one, the caller may stop the mixer that owns that encoder.
 *  - Texts (station texts, titles and their URLs) are the system's 8-bit text: UTF-8 on Linux
 *    (a byte that starts no valid sequence is read as the Latin-1 character of its value),
 *    the ANSI code page on Windows. Each server is sent them as it reads them (see
 *    BASS_Encode_CastInit). Passwords go to the server byte for byte.
 */
#ifndef LARKSPUR_BASS_H
#define LARKSPUR_BASS_H

#include <stdint.h>

/* On Windows the calls and callbacks follow the system libraries' convention (WINAPI and
 * CALLBACK, both __stdcall); the DLLs export the names undecorated. */
#if defined(_WIN32)
#define BASSDEF(t) t __stdcall
#define BASSCALLBACK __stdcall
#else
#define BASSDEF(t) __attribute__((visibility("default"))) t
#define BASSCALLBACK
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
typedef unsigned long DWORD; /* as the system headers declare it: both may be included */
typedef int BOOL;
#else
typedef uint32_t DWORD;
typedef int32_t BOOL;
#endif
typedef uint64_t QWORD;
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
#define BASS_ERROR_CAST_DENIED 2100  /* SHOUTcast v1: wrong password (or another refusal) */
#define BASS_ERROR_CAST_CERT   2101  /* TLS: the server's certificate or host name did not verify */
#define BASS_ERROR_CAST_TLS    2102  /* TLS: no secure session (protocol, version or cipher) */
#define BASS_ERROR_CAST_ADDRESS 2103 /* the server address cannot be read (scheme, mount, port) */
#define BASS_ERROR_CAST_AUTH   2104  /* Icecast 2: 401, wrong user or password */
#define BASS_ERROR_CAST_INUSE  2105  /* a 403: mount in use (Icecast 2 also: content type forbidden) */
#define BASS_ERROR_CAST_STATUS 2106  /* Icecast 2: any other refusal, or no readable answer */
#define BASS_ERROR_CAST_CANCEL 2107  /* BASS_Encode_CastCancel ended the handshake */
#define BASS_ERROR_RECORD_CANCEL 2108  /* BASS_RecordCancel ended or refused BASS_RecordInit */
#define BASS_ERROR_UNKNOWN     -1

/* Device info flags */
#define BASS_DEVICE_ENABLED  1
#define BASS_DEVICE_DEFAULT  2 /* the system's default input */
#define BASS_DEVICE_INIT     4 /* the device open now */
#define BASS_DEVICE_LOOPBACK 8 /* records what an output plays (the sound server's monitor source) */

typedef struct {
    const char *name;   /* description, 8-bit text, for people */
    const char *driver; /* the device's stable name: the sound server's source name (on Windows
                           the device name); unlike the position it survives devices coming and
                           going, so a choice is best kept by it */
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

/* Channel states (BASS_ChannelIsActive) */
#define BASS_ACTIVE_STOPPED 0
#define BASS_ACTIVE_PLAYING 1
#define BASS_ACTIVE_STALLED 2
#define BASS_ACTIVE_PAUSED  3

/* Attributes and positions */
#define BASS_ATTRIB_VOL 2
#define BASS_POS_BYTE   0

/* Levels */
#define BASS_LEVEL_MONO   1 /* one level: the louder channel */
#define BASS_LEVEL_STEREO 2 /* two levels: left and right (a mono channel gives its one twice) */

/* Capture input */
#define BASS_INPUT_OFF 0x10000
#define BASS_INPUT_ON  0x20000

/* Effects */
#define BASS_FX_BFX_VOLUME 0x10003
typedef struct {
    int lChannel;  /* 0 = all channels together */
    float fVolume; /* linear factor, 1.0 = unchanged */
} BASS_BFX_VOLUME;

/* Encoder flags and notifications */
#define BASS_ENCODE_NOHEAD   1
#define BASS_ENCODE_AUTOFREE 0x40000
/* The encoder's format, where the library must know it (BASS_Encode_Start; at most one):
 * the program writes Ogg Opus (opusenc) or Ogg FLAC (flac --ogg), and each title becomes a new
 * chained Ogg stream (see BASS_Encode_CastSetTitle). Without one, the output is passed on as it
 * is and titles go to the server by URL (MP3, Ogg Vorbis). */
#define BASS_ENCODE_CHAIN_OPUS 0x1000000
#define BASS_ENCODE_CHAIN_FLAC 0x2000000
#define BASS_ENCODE_NOTIFY_ENCODER      1       /* the encoder process died */
#define BASS_ENCODE_NOTIFY_CAST         2       /* the server connection died */
#define BASS_ENCODE_NOTIFY_FILE         4       /* a recording's file could not be written */
#define BASS_ENCODE_NOTIFY_CAST_TIMEOUT 0x10000 /* sending stalled; nothing ended */

typedef DWORD (BASSCALLBACK STREAMPROC)(HSTREAM handle, void *buffer, DWORD length, void *user);
#define STREAMPROC_PUSH ((STREAMPROC *)-1)
typedef BOOL (BASSCALLBACK RECORDPROC)(HRECORD handle, const void *buffer, DWORD length, void *user);
typedef void (BASSCALLBACK ENCODEPROC)(HENCODE handle, DWORD channel, const void *buffer, DWORD length, void *user);
typedef void (BASSCALLBACK ENCODENOTIFYPROC)(HENCODE handle, DWORD status, void *user);

/* Errors
 * BASS_ErrorGetCode: the calling thread's code of its last call. Any thread; safe inside a
 * notification callback. */
BASSDEF(int) BASS_ErrorGetCode(void);

/* Output device: `win` is the owner window's native id (may be 0).
 * BASS_Init: device -1 or 1 = the default output, 0 = no sound (a clock only). The device clock
 * pulls every played mixer in real time, 20 ms at a time; with a sound server the mix (times the
 * mixer's volume) is played, without one the clock still runs. Waits at most 2 s for the server.
 * A second call fails with BASS_ERROR_ALREADY.
 * BASS_Free: stops the clock and frees every channel, encoder and the capture device; no
 * notification callback runs once it has returned (unless called from inside one).
 * Any thread, also from inside a notification callback. */
BASSDEF(BOOL) BASS_Init(int device, DWORD freq, DWORD flags, void *win, const void *dsguid);
BASSDEF(BOOL) BASS_Free(void);

/* Capture (the sound server's sources; every wait on the server ends within 2 s)
 * BASS_RecordGetDeviceInfo: device 0 reads the list afresh, later numbers use that reading;
 * FALSE with BASS_ERROR_DEVICE past the end, and for device 0 when there is no server. The
 * name and driver texts stay valid for the life of the process. Devices in the server's order,
 * monitors included (flagged BASS_DEVICE_LOOPBACK); the default input has BASS_DEVICE_DEFAULT.
 * BASS_RecordInit: -1 = the default source, else the position in the list.
 * BASS_RecordStart: 16-bit capture channel at that rate and channel count (the server
 * converts), paused with BASS_RECORD_PAUSE until BASS_ChannelPlay; no RECORDPROC (a mixer
 * pulls it). One channel per device.
 * BASS_RecordSetInput: input -1; flags 0, BASS_INPUT_ON or BASS_INPUT_OFF (mutes: volume 0);
 * the open source's volume = volume x normal. FALSE with BASS_ERROR_ILLPARAM for another
 * input, other flags, or a volume outside 0..1; BASS_ERROR_INIT without an open device.
 * BASS_RecordGetInput: input -1; the open source's volume as a factor of normal (a source
 * boosted beyond normal reads 1) into *volume (may be null); returns BASS_INPUT_OFF when the
 * system has the source muted, else 0; (DWORD)-1 on failure (BASS_ERROR_ILLPARAM for another
 * input, BASS_ERROR_INIT without an open device).
 * BASS_RecordCancel: ends a BASS_RecordInit or a device listing (BASS_RecordGetDeviceInfo)
 * under way on another thread at once (against a sound server that does not answer each waits
 * up to 2 s otherwise) and makes every later one fail at once, all with
 * BASS_ERROR_RECORD_CANCEL, until BASS_RecordFree or BASS_Free; returns at once (it only asks).
 * A device already open stays open. For a caller that must stop waiting for the sound server,
 * as when it is being unloaded.
 * BASS_RecordFree: closes the device and its channel, which leaves its mixer.
 * A device that goes away while its channel lives (the source fails or is unplugged, the sound
 * server stops or restarts; on Windows a wave input that hands back nothing for a second) does
 * not end the channel: it gives silence, and the same device (by its name, the sound server's
 * on Linux, wherever it now is in the list) is opened again as soon as it is there, tried
 * twice a second at most; the level last set with BASS_RecordSetInput is set
 * on it again and the channel records or stays paused as before. Meanwhile
 * BASS_ChannelIsActive of the channel reads BASS_ACTIVE_STALLED, BASS_RecordSetInput keeps
 * the level for the device's return and BASS_RecordGetInput fails with BASS_ERROR_DRIVER.
 * Any thread; safe inside a notification callback. */
BASSDEF(BOOL) BASS_RecordGetDeviceInfo(DWORD device, BASS_DEVICEINFO *info);
BASSDEF(BOOL) BASS_RecordInit(int device);
BASSDEF(BOOL) BASS_RecordCancel(void);
BASSDEF(BOOL) BASS_RecordFree(void);
BASSDEF(HRECORD) BASS_RecordStart(DWORD freq, DWORD chans, DWORD flags, RECORDPROC *proc, void *user);
BASSDEF(BOOL) BASS_RecordSetInput(int input, DWORD flags, float volume);
BASSDEF(DWORD) BASS_RecordGetInput(int input, float *volume);

/* Streams and channels
 * BASS_StreamCreate: only STREAMPROC_PUSH streams; a ring of 1 s, read by the mixer.
 * BASS_StreamFree: a push stream goes with its effects and leaves its mixer (no mix takes
 * from it once this returns); a mixer is freed as by stopping an auto-free one.
 * BASS_StreamPutData: the sample tap. Wait-free, no lock, no allocation, no system call; one
 * producer thread per stream. Whole frames are queued, what does not fit is dropped. Returns
 * the bytes queued, or -1 (BASS_ERROR_HANDLE for a zero or freed handle).
 * BASS_ChannelPlay / BASS_ChannelStop: a mixer starts / stops on the device clock (a mixer
 * being freed on another thread is not started: BASS_ERROR_HANDLE), and
 * stopping an auto-free mixer frees it with its encoders (their processes ended and reaped,
 * no notification); a capture channel starts / pauses capture; a push stream is taken from /
 * not taken from by its mixer (stopping forgets what was queued).
 * BASS_ChannelSetAttribute: BASS_ATTRIB_VOL of a mixer scales its device output only.
 * BASS_ChannelBytes2Seconds: bytes of the channel's format in seconds.
 * BASS_ChannelGetLevel / BASS_ChannelGetLevelEx: peak levels of what a channel last delivered,
 * measured as its mixer renders: for a push stream or a capture channel, what its mixer took
 * from it (after its effects); for a mixer, the mix as its encoders get it (BASS_ATTRIB_VOL does
 * not act on it). Nothing is consumed, no lock is taken: cheap enough for a meter's every tick.
 * A channel that delivered nothing for the length asked for (stopped, stalled, not in a playing
 * mixer) reads as silence. GetLevel: the last 20 ms, left in the low word and right in the high
 * word, each 0..32768; (DWORD)-1 with BASS_ERROR_HANDLE for another handle. GetLevelEx: the peak
 * over the last `length` seconds (0..1; at least the newest block) as factors of full scale (1.0)
 * into levels: one per channel with flags 0, one with BASS_LEVEL_MONO, two with
 * BASS_LEVEL_STEREO; BASS_ERROR_ILLPARAM for another length or flags.
 * BASS_ChannelIsActive: a capture channel is BASS_ACTIVE_PLAYING while it records,
 * BASS_ACTIVE_PAUSED while paused, BASS_ACTIVE_STALLED while its device is gone (see
 * capture); a mixer is BASS_ACTIVE_PLAYING while on the device clock, a push stream while its
 * mixer may take from it, else BASS_ACTIVE_STOPPED. BASS_ACTIVE_STOPPED with
 * BASS_ERROR_HANDLE for a handle that is not a channel.
 * Any thread; safe inside a notification callback (also stopping the notifying encoder's
 * mixer). */
BASSDEF(HSTREAM) BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC *proc, void *user);
BASSDEF(DWORD) BASS_StreamPutData(HSTREAM handle, const void *buffer, DWORD length);
BASSDEF(BOOL) BASS_StreamFree(HSTREAM handle);
BASSDEF(BOOL) BASS_ChannelPlay(DWORD handle, BOOL restart);
BASSDEF(BOOL) BASS_ChannelStop(DWORD handle);
BASSDEF(BOOL) BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value);
BASSDEF(double) BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos);
BASSDEF(DWORD) BASS_ChannelGetLevel(DWORD handle);
BASSDEF(BOOL) BASS_ChannelGetLevelEx(DWORD handle, float *levels, float length, DWORD flags);
BASSDEF(DWORD) BASS_ChannelIsActive(DWORD handle);

/* Effects
 * BASS_ChannelSetFX: BASS_FX_BFX_VOLUME on a push stream or capture channel.
 * BASS_FXSetParameters: a BASS_BFX_VOLUME (lChannel 0, fVolume >= 0), used by the mixer from
 * its next block on. Any thread. */
BASSDEF(DWORD) BASS_FX_GetVersion(void);
BASSDEF(HFX) BASS_ChannelSetFX(DWORD handle, DWORD type, int priority);
BASSDEF(BOOL) BASS_FXSetParameters(HFX handle, const void *params);

/* Mixer
 * Sums its sources with 16-bit saturation; a source without data adds silence and the mix
 * goes on. Sources must have the mixer's rate and channel count (BASS_ERROR_FORMAT).
 * BASS_Mixer_StreamAddChannel: BASS_ERROR_HANDLE when the mixer or the source is freed, also
 * by another thread during the call; BASS_ERROR_ALREADY when the source is in a mixer.
 * BASS_Mixer_ChannelGetPosition: bytes of real data the mixer has taken from that source.
 * Any thread.
 * Clock steering: a push stream's producer and a capture device tick on clocks of their own,
 * not the device clock the mixer runs on. Each such source of a mixer resamples what it
 * queued so as to hold its queue at a target fill of 60 ms (measured when the mixer takes a
 * period); what a caller can rely on:
 * - the ratio (input frames per output frame) stays within 1 +- 0.005, and moves slowly (the
 *   loop settles in about two minutes and averages a producer's lumps over seconds), so the
 *   steering is inaudible: a steady tone carries nothing above -90 dB besides itself;
 * - any drift up to +-1000 ppm against the device clock, once the source has played, never
 *   empties or overflows its queue (within about 20 ms of the target after the first minute);
 * - a gap (the producer stops) gives silence as soon as the queue is spent (at most 60 ms and
 *   a period), with the last frames played out; the source then waits until it holds the
 *   target fill again before it plays, and plays only what came after the gap;
 * - what queued before a playing mixer first takes from a source is dropped down to the
 *   target (start-up backlog); a lump handed over later is kept and worked off by the ratio;
 * - the position above counts input frames, so a track's time stays the host's time. */
BASSDEF(HSTREAM) BASS_Mixer_StreamCreate(DWORD freq, DWORD chans, DWORD flags);
BASSDEF(BOOL) BASS_Mixer_StreamAddChannel(HSTREAM handle, DWORD channel, DWORD flags);
BASSDEF(QWORD) BASS_Mixer_ChannelGetPosition(DWORD handle, DWORD mode);

/* Encoding and casting
 * BASS_Encode_Start: the command line is split into arguments (double quotes group; no shell)
 * and the program started with the mixer's 16-bit samples on its stdin (a WAVE header first
 * unless BASS_ENCODE_NOHEAD). The program starts with default signal dispositions and no
 * blocked signals, its stdin and stdout the library's pipes (also when the caller has closed
 * its own descriptors 0 and 1), stderr /dev/null and no other descriptor of the caller's. 0
 * at once when the program cannot be started (BASS_ERROR_FILEOPEN: not found, not runnable,
 * refused by exec). A slow encoder never holds up the mixer: what it cannot take is dropped.
 * Ends with its mixer. `proc`, when given, gets the program's output on the encoder's reader
 * thread. A program that is fed without a pause and writes nothing for 10 s is hung: it is
 * killed and notified as BASS_ENCODE_NOTIFY_ENCODER.
 * BASS_Encode_CastInit: the server address chooses the protocol:
 *   "host:port"                       SHOUTcast v1 source on port + 1
 *   "host:port/mount"                 Icecast 2 source (HTTP PUT, SOURCE for servers before
 *   "http://[user@]host:port/mount"   2.4) on the port itself, Basic authentication of user
 *                                     ("source" when none is given) and password
 *   "https://[user@]host:port/mount"  the same over TLS 1.2 or newer; the certificate and the
 *                                     host name are verified against the system's trust store
 *                                     (Linux: OpenSSL's, SSL_CERT_FILE and SSL_CERT_DIR apply;
 *                                     Windows: Schannel and the system's stores, below)
 * An IPv6 host is written in brackets. Another scheme, an empty mount, a user with ':' or a
 * bad port: BASS_ERROR_CAST_ADDRESS. Blocks the caller for the handshake, at most 10 s
 * (BASS_ERROR_TIMEOUT); TRUE once the server took the source; BASS_ERROR_HANDLE within a
 * fraction of a second when the encoder is freed meanwhile. Refusals: SHOUTcast v1
 * BASS_ERROR_CAST_DENIED (wrong password) or BASS_ERROR_CAST_INUSE (mount in use);
 * Icecast 2 BASS_ERROR_CAST_AUTH, BASS_ERROR_CAST_INUSE or BASS_ERROR_CAST_STATUS; TLS
 * BASS_ERROR_CAST_CERT or BASS_ERROR_CAST_TLS.
 * TLS on Windows: Schannel with SNI; TLS 1.2 or 1.3 where the system offers the newer
 * credentials (Windows 10 1809 and later), else TLS 1.2 only (older systems, Wine). The library
 * checks the server's certificate itself, not Schannel, so that it is checked the same way under
 * Wine (whose Schannel checks none): the chain, completed by what the server sends beside its
 * own certificate (and what Windows fetches within the handshake's deadline), must end at a
 * root of the current user's or the machine's "Root" store, with no fault in any element:
 * valid now, signatures, usage for server authentication (revocation is not checked, as with
 * OpenSSL). A host name is matched by the system's SSL policy (the certificate's DNS names, else
 * its common name); an IPv4 or IPv6 address only against the certificate's IP addresses. Any
 * of these failing: BASS_ERROR_CAST_CERT; a server that speaks no TLS, only older versions or
 * no common cipher: BASS_ERROR_CAST_TLS. On both systems the end of a connection sends no
 * close_notify (Icecast 2.4 would keep the mount until its source timeout).
 * The name's further lines of the form "icy-...: value" (after CR LF
 * pairs) are sent as header lines of their own; no other text can add a header line.
 * Texts reach the server as it will show them. The stream's content type decides, as it
 * does for Icecast 2.4 on a mount without <charset> (a stock server): the texts of Ogg
 * (application/ogg, audio/ogg, ...) and Matroska/WebM streams are UTF-8, those of every other
 * stream (audio/mpeg, audio/aacp, ...) ISO-8859-1 (Latin-1), which is also what SHOUTcast
 * servers and their listeners take them for. So the station texts (header lines, both
 * protocols) and SHOUTcast v1 titles are sent in that charset; an Icecast 2 title is sent as
 * UTF-8 with charset=UTF-8 (the server converts it to the mount's own), limited to the
 * characters of that charset. Into Latin-1 a character it lacks is dropped, the rest of the
 * text kept; typographic dashes, quotes and the ellipsis become '-', an apostrophe, '"' and
 * "...". A mount set to <charset>UTF-8</charset> misreads Latin-1 header lines: leave it unset.
 * The connection, plain or TLS, is dead (BASS_ENCODE_NOTIFY_CAST) when it makes no progress
 * for 10 s: the server takes nothing while data waits, or a vanished peer (TCP user time-out,
 * keep-alive); and when more than 4 s of the stream (at the declared bitrate, or the measured
 * one when higher) waits to be sent. Nothing is dropped inside the stream: the server only
 * ever gets a whole prefix of what the encoder wrote.
 * BASS_Encode_CastCancel: ends a BASS_Encode_CastInit of that encoder under way on another
 * thread within a fraction of a second and makes every later one on it fail at once, both
 * with BASS_ERROR_CAST_CANCEL; returns at once (it only asks). A cast already made, the
 * encoder and its program go on: the caller frees them as usual. For a caller that must stop
 * waiting for a server (one that accepts and says nothing) sooner than the handshake's 10 s.
 * BASS_Encode_CastSetTitle: queued and sent on a thread of the encoder's own (deadline 5 s);
 * returns at once. The title and URL go in the stream's charset, as the station texts do. Only the newest of several waiting titles is sent. SHOUTcast v1: to
 * /admin.cgi on the base port; Icecast 2: /admin/metadata of the mount, with the source's
 * credentials (over TLS for https).
 * With a chained format (BASS_ENCODE_CHAIN_OPUS, BASS_ENCODE_CHAIN_FLAC; only with
 * BASS_ENCODE_NOHEAD, else BASS_Encode_Start fails with BASS_ERROR_ILLPARAM) the title goes in
 * the stream instead, with or without a cast: the program is started again, its arguments
 * preceded by the tags and a serial number of its own (opusenc: --serial N --title T
 * --artist A; flac: --serial-number=N --no-utf8-convert -T TITLE=T -T ARTIST=A), the artist
 * being the text before the title's first " - ". The running program gets every sample mixed
 * before the call and then the end of its input, so it ends its stream; the new one gets every
 * sample after it, and its stream follows the previous one's last page on the same connection
 * (a chained Ogg stream: nothing lost or repeated at the seam, the codec's pre-skip aside).
 * The first program gets a serial number too, no tags. Returns once the new program runs;
 * FALSE (BASS_ERROR_FILEOPEN) when it cannot start, and the running one goes on.
 * Freeing an encoder (stopping its mixer, BASS_Free) returns within 1 s whatever the program,
 * the server, a handshake, a title update or its name lookup are doing.
 * BASS_Encode_SetNotify: proc(handle, status, user) on the library's notification thread, one
 * at a time: BASS_ENCODE_NOTIFY_ENCODER when the program dies on its own or hangs,
 * BASS_ENCODE_NOTIFY_CAST when the server connection dies, BASS_ENCODE_NOTIFY_CAST_TIMEOUT
 * when sending stalls for 5 s (the connection lives on). A death (1 or 2) that came before a
 * callback was registered is delivered, once, when one is; a notice that finds no thread to
 * run on waits for the next notice or registration. BASS_ERROR_HANDLE once the encoder is
 * freed, also when that happens on another thread during the call. Never called once its
 * encoder was freed (and the free returned) or after BASS_Free: so freeing an encoder
 * (stopping its mixer) from another thread also waits for a callback of that encoder that is
 * running (the 1 s bound does not cover the caller's own callback); such a callback must not
 * wait for a lock the freeing thread holds.
 * Any thread; safe inside a notification callback. */
BASSDEF(HENCODE) BASS_Encode_Start(DWORD handle, const char *cmdline, DWORD flags, ENCODEPROC *proc, void *user);
BASSDEF(BOOL) BASS_Encode_CastInit(HENCODE handle, const char *server, const char *pass, const char *content,
                                   const char *name, const char *url, const char *genre, const char *desc,
                                   const char *headers, DWORD bitrate, BOOL pub);
BASSDEF(BOOL) BASS_Encode_CastCancel(HENCODE handle);
BASSDEF(BOOL) BASS_Encode_CastSetTitle(HENCODE handle, const char *title, const char *url);
BASSDEF(BOOL) BASS_Encode_SetNotify(HENCODE handle, ENCODENOTIFYPROC *proc, void *user);

/* Several encoders on one mixer: each is fed the whole mix through a bounded queue of its own
 * (2 s), so a stalled, dying or dead encoder, cast or file never holds up the mixer or any
 * other encoder; what one cannot take is dropped for it alone. Each dies and is notified
 * alone; the mixer and the others go on.
 * One program per encoder, never shared: two encoders with the same command line (two servers
 * in the same format and bitrate, or a server and a recording) each start their own. Sharing
 * would save little, about 1 % of a core and 2.5 MB of memory per 128 kb/s lame
 * (bench/peers/README.md), and would tie the outputs together: a program that dies or hangs
 * would take every output it feeds with it, which the queue per encoder exists to prevent.
 * BASS_Encode_Stop: ends one encoder (its program, its cast, its file closed as by a free) and
 * takes it off its mixer, which goes on feeding the others; no notification of it once this
 * returns (the 1 s bound and the rule for callbacks of BASS_Encode_SetNotify apply).
 * BASS_ERROR_HANDLE for a freed handle. Any thread; safe inside a notification callback of
 * another encoder. */
BASSDEF(BOOL) BASS_Encode_Stop(HENCODE handle);

/* Recording: an encoder whose output goes into a file the library writes, instead of a server.
 * BASS_Encode_StartFile: as BASS_Encode_Start (command line, flags, the mixer's samples, ending
 * with the mixer, the hung-program rule), the program's output written into `file`, which is
 * created new: a file of that name that exists already is never replaced (BASS_ERROR_FILEOPEN,
 * as for a file that cannot be made). 8-bit names in the system's own encoding. Output is
 * written to the file as the program hands it over, in order and with nothing held back in
 * the library. Freeing it (stopping its mixer) lets the program flush and closes the file
 * complete with what the program wrote, within the 1 s bound. A write that fails (disk full,
 * an I/O error, a file size limit) ends the recording: its program is killed, the file is
 * closed with what was written before, and the notification callback gets
 * BASS_ENCODE_NOTIFY_FILE (instead of BASS_ENCODE_NOTIFY_ENCODER). The mixer and its other
 * encoders go on, whatever happens to a recording. BASS_Encode_CastInit on it:
 * BASS_ERROR_NOTAVAIL. A recording does not chain: with a chained format (allowed as for
 * BASS_Encode_Start) its program still gets a serial number of its own, but each file holds one
 * stream without tags, and BASS_Encode_CastSetTitle on it fails with BASS_ERROR_NOTAVAIL (the
 * caller keeps its titles beside the file).
 * BASS_Encode_SplitFile: hands a recording over to a new file: a new encoder with the same
 * command line and flags (in a chained format, a stream with a new serial number), writing
 * into `file` (created new as above), takes the old one's place on the mixer between two
 * blocks, so that every sample of the mix goes into exactly one of the two files, in order. Returns the new encoder (register a notification callback on it, as for
 * any new encoder; a death before that is held for it). The old handle dies at once and sends
 * no notice from then on; its program is given the rest of what it was fed and its end of
 * input, on a thread of the library's own, and its file is closed once the program has written
 * its last output (at most 3 s, then it is ended as by a free). Each file thus holds a complete
 * stream of its own, decodable without the other. The call returns at once. On failure the old
 * recording goes on unchanged: BASS_ERROR_HANDLE (freed, or not on a mixer any more),
 * BASS_ERROR_NOTAVAIL (not a recording), BASS_ERROR_FILEOPEN, BASS_ERROR_ILLPARAM (no name).
 * Any thread; safe inside a notification callback. */
BASSDEF(HENCODE) BASS_Encode_StartFile(DWORD handle, const char *cmdline, DWORD flags, const char *file);
BASSDEF(HENCODE) BASS_Encode_SplitFile(HENCODE handle, const char *file);

#ifdef __cplusplus
}
#endif

#endif
