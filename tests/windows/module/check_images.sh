#!/usr/bin/env bash
# check_images.sh OBJDUMP FORMAT dsp_wren.dll BIN_DIR: exits non-zero with the reason on any
# mismatch. FORMAT is objdump's name of the target (pei-i386 for the shipped 32-bit build).
set -u
objdump="$1" format="$2" module="$3" dlls="$4"
fail=0
bad() { echo "FAIL: $*"; fail=1; }

exports() { "$objdump" -p "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/ && NR > 1 {print $NF}' | sort; }
imports_of() { "$objdump" -p "$1" | awk -v dll="$2" '/DLL Name:/ {cur = $3} cur == dll && /^\t[0-9a-f]+\t/ {print $NF}' | sort; }
dll_names() { "$objdump" -p "$1" | awk '/DLL Name:/ {print $3}' | sort; }

# Every shipped file of the target's format: one 64-bit DLL beside a 32-bit player fails to load.
for image in "$module" "$dlls"/BASS.dll "$dlls"/BASSMIX.dll "$dlls"/BASS_FX.dll "$dlls"/BASSENC.dll \
             "$dlls"/Plugins/Larkspur/{lame,oggenc,opusenc,flac}.exe "$dlls"/player.exe; do
  [ -f "$image" ] || { bad "${image#"$dlls"/} was not built"; continue; }
  "$objdump" -f "$image" | grep -q "file format $format\$" || bad "${image#"$dlls"/} is not a $format image"
done

got="$(exports "$module" | tr '\n' ' ')"
want="Config DSPProc Init Quit getModule winampDSPGetHeader2 "
[ "$got" = "$want" ] || bad "dsp_wren.dll exports [$got], expected [$want]"

declare -A expect=(
  [BASS.dll]="BASS_ChannelGetLevelEx BASS_ChannelIsActive BASS_ChannelPlay BASS_ChannelSetAttribute BASS_ChannelSetFX BASS_ChannelStop BASS_ErrorGetCode BASS_FXSetParameters BASS_Free BASS_Init BASS_RecordCancel BASS_RecordFree BASS_RecordGetDeviceInfo BASS_RecordGetInput BASS_RecordInit BASS_RecordSetInput BASS_RecordStart BASS_StreamCreate BASS_StreamFree BASS_StreamPutData"
  [BASSMIX.dll]="BASS_Mixer_StreamAddChannel BASS_Mixer_StreamCreate"
  [BASS_FX.dll]="BASS_FX_GetVersion"
  [BASSENC.dll]="BASS_Encode_CastCancel BASS_Encode_CastInit BASS_Encode_CastSetTitle BASS_Encode_SetNotify BASS_Encode_Start BASS_Encode_SplitFile BASS_Encode_StartFile BASS_Encode_Stop"
)
names="$(dll_names "$module")"
for dll in "${!expect[@]}"; do
  grep -qx "$dll" <<<"$names" || { bad "dsp_wren.dll does not import $dll"; continue; }
  got="$(imports_of "$module" "$dll")"
  grep -q '@' <<<"$got" && bad "$dll imported with decorated names: $got"
  for name in ${expect[$dll]}; do
    grep -qx "$name" <<<"$got" || bad "$name is not imported from $dll"
  done
done
# Static runtime: no toolchain DLL has to travel with the module.
for dll in $names; do
  case "${dll,,}" in  # the import tables' spelling differs between the two linkers' targets
    bass.dll|bassmix.dll|bass_fx.dll|bassenc.dll) ;;
    kernel32.dll|user32.dll|msvcrt.dll|advapi32.dll|gdi32.dll|shell32.dll|comctl32.dll|ws2_32.dll|ole32.dll|winmm.dll|api-ms-win-*) ;;
    *) bad "dsp_wren.dll depends on $dll" ;;
  esac
done

# The encoders travel alone too: nothing but the system's DLLs.
for encoder in lame oggenc opusenc flac; do
  image="$dlls/Plugins/Larkspur/$encoder.exe"
  [ -f "$image" ] || continue
  for dll in $(dll_names "$image"); do
    case "${dll,,}" in
      kernel32.dll|user32.dll|msvcrt.dll|advapi32.dll|shell32.dll|ws2_32.dll|api-ms-win-*) ;;
      *) bad "$encoder.exe depends on $dll" ;;
    esac
  done
done

# The library's DLLs export the undecorated names; the three small ones forward to BASS.dll.
if [ -f "$dlls/BASS.dll" ]; then
  # Only the system's DLLs beside it (secur32 and crypt32: TLS through Schannel).
  for dll in $(dll_names "$dlls/BASS.dll"); do
    case "${dll,,}" in
      kernel32.dll|msvcrt.dll|ws2_32.dll|winmm.dll|secur32.dll|crypt32.dll|api-ms-win-*) ;;
      *) bad "BASS.dll depends on $dll" ;;
    esac
  done
  all="$(exports "$dlls/BASS.dll")"
  grep -q '@' <<<"$all" && bad "BASS.dll exports decorated names"
  for dll in BASS.dll BASSMIX.dll BASS_FX.dll BASSENC.dll; do
    for name in ${expect[$dll]}; do
      grep -qx "$name" <<<"$all" || bad "BASS.dll does not export $name"
    done
  done
  for dll in BASSMIX BASS_FX BASSENC; do
    [ -f "$dlls/$dll.dll" ] || { bad "$dll.dll was not built"; continue; }
    for name in ${expect[$dll.dll]}; do
      "$objdump" -p "$dlls/$dll.dll" | grep -q "Forwarder RVA -- BASS\.$name\$" || bad "$dll.dll does not forward $name to BASS.dll"
    done
  done
else
  bad "BASS.dll was not built"
fi

[ $fail -eq 0 ] && echo "images ($format): formats, exports and imports as expected"
exit $fail
