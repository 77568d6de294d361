// Temporary: every call refuses until the engine lands.
#include "bass.h"

namespace { thread_local int lastError = 0; int fail(int c) { lastError = c; return 0; } }

extern "C" {
int BASS_ErrorGetCode(void) { return lastError; }
BOOL BASS_Init(int, DWORD, DWORD, void *, const void *) { return fail(BASS_ERROR_DEVICE); }
BOOL BASS_Free(void) { return fail(BASS_ERROR_INIT); }
BOOL BASS_RecordGetDeviceInfo(DWORD, BASS_DEVICEINFO *) { return fail(BASS_ERROR_DEVICE); }
BOOL BASS_RecordInit(int) { return fail(BASS_ERROR_DEVICE); }
BOOL BASS_RecordFree(void) { return fail(BASS_ERROR_INIT); }
HRECORD BASS_RecordStart(DWORD, DWORD, DWORD, RECORDPROC *, void *) { return fail(BASS_ERROR_INIT); }
BOOL BASS_RecordSetInput(int, DWORD, float) { return fail(BASS_ERROR_INIT); }
HSTREAM BASS_StreamCreate(DWORD, DWORD, DWORD, STREAMPROC *, void *) { return fail(BASS_ERROR_NOTAVAIL); }
DWORD BASS_StreamPutData(HSTREAM, const void *, DWORD) { fail(BASS_ERROR_HANDLE); return (DWORD)-1; }
BOOL BASS_StreamFree(HSTREAM) { return fail(BASS_ERROR_HANDLE); }
BOOL BASS_ChannelPlay(DWORD, BOOL) { return fail(BASS_ERROR_HANDLE); }
BOOL BASS_ChannelStop(DWORD) { return fail(BASS_ERROR_HANDLE); }
BOOL BASS_ChannelSetAttribute(DWORD, DWORD, float) { return fail(BASS_ERROR_HANDLE); }
double BASS_ChannelBytes2Seconds(DWORD, QWORD) { fail(BASS_ERROR_HANDLE); return -1; }
DWORD BASS_FX_GetVersion(void) { lastError = 0; return 0x02040000; }
HFX BASS_ChannelSetFX(DWORD, DWORD, int) { return fail(BASS_ERROR_HANDLE); }
BOOL BASS_FXSetParameters(HFX, const void *) { return fail(BASS_ERROR_HANDLE); }
HSTREAM BASS_Mixer_StreamCreate(DWORD, DWORD, DWORD) { return fail(BASS_ERROR_NOTAVAIL); }
BOOL BASS_Mixer_StreamAddChannel(HSTREAM, DWORD, DWORD) { return fail(BASS_ERROR_HANDLE); }
QWORD BASS_Mixer_ChannelGetPosition(DWORD, DWORD) { fail(BASS_ERROR_HANDLE); return (QWORD)-1; }
HENCODE BASS_Encode_Start(DWORD, const char *, DWORD, ENCODEPROC *, void *) { return fail(BASS_ERROR_HANDLE); }
BOOL BASS_Encode_CastInit(HENCODE, const char *, const char *, const char *, const char *, const char *,
                          const char *, const char *, const char *, DWORD, BOOL) { return fail(BASS_ERROR_HANDLE); }
BOOL BASS_Encode_CastSetTitle(HENCODE, const char *, const char *) { return fail(BASS_ERROR_HANDLE); }
BOOL BASS_Encode_SetNotify(HENCODE, ENCODENOTIFYPROC *, void *) { return fail(BASS_ERROR_HANDLE); }
}
