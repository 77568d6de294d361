#!/usr/bin/env bash
# Redraws banner.png, logo.png and icon.ico in the folder given (default: this script's folder).
set -euo pipefail
out="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# Banner: grey with alpha, the bolt and the name on a clear ground.
convert -size 265x45 xc:none \
  -fill '#303030' -stroke '#101010' -strokewidth 1 -draw "polygon 27,2 9,25 20,25 13,43 36,17 24,17 33,2" \
  -stroke none -fill '#282828' -font DejaVu-Sans-Bold -pointsize 31 -annotate +46+32 'Larkspur' \
  -fill '#505050' -font DejaVu-Sans-Oblique -pointsize 10 -annotate +200+42 'on the air' \
  -colorspace Gray -strip -define png:color-type=4 -define png:bit-depth=8 "$out/banner.png"

# Logo: RGBA, a larkspur spike sending waves, a bolt and the name.
convert -size 235x115 xc:none \
  \( -size 235x115 gradient:'#3b2a7a'-'#1b5fa8' \) -compose over -composite \
  \( -size 235x115 xc:none -fill white -draw "roundrectangle 0,0 234,114 14,14" \) -compose DstIn -composite -compose over \
  -stroke '#2e8b3a' -strokewidth 3 -draw "line 40,104 40,18" -stroke none \
  -fill '#b48cff' -draw "circle 40,22 40,17" -draw "circle 33,32 33,26" -draw "circle 47,40 47,33" \
  -draw "circle 32,52 32,44" -draw "circle 48,62 48,54" -draw "circle 31,74 31,65" -draw "circle 49,85 49,76" \
  -fill '#e8dcff' -draw "circle 40,22 40,20" -draw "circle 33,32 33,30" -draw "circle 47,40 47,38" \
  -draw "circle 32,52 32,50" -draw "circle 48,62 48,60" -draw "circle 31,74 31,72" -draw "circle 49,85 49,83" \
  -fill none -stroke '#ffd84a' -strokewidth 2.5 \
  -draw "arc 28,10 52,34 -50,-5" -draw "arc 20,2 60,42 -50,-5" -draw "arc 12,-6 68,50 -50,-5" -stroke none \
  -fill '#ffd84a' -stroke '#7a5a00' -strokewidth 1 -draw "polygon 214,8 200,30 209,30 203,48 222,24 212,24 220,8" -stroke none \
  -fill white -font DejaVu-Sans-Bold -pointsize 30 -annotate +72+72 'Larkspur' \
  -fill '#d8e6ff' -font DejaVu-Sans -pointsize 11 -annotate +74+92 'your station, live' \
  -strip -define png:color-type=6 -define png:bit-depth=8 "$out/logo.png"

# Icon: two colours (a yellow bolt on purple), 1 bpp; the corners cleared by the AND mask.
convert -size 16x16 xc:'#3b2a7a' +antialias -fill '#ffd84a' \
  -draw "polygon 9,1 3,9 7,9 5,15 13,6 9,6 12,1" -colors 2 -type Palette BMP3:"$tmp/icon.bmp"
python3 - "$tmp/icon.bmp" "$out/icon.ico" <<'PY'
import struct, sys
bmp = open(sys.argv[1], "rb").read()
dib = bytearray(bmp[14:])
offset = struct.unpack_from("<I", bmp, 10)[0] - 14
struct.pack_into("<i", dib, 8, 32)          # colour rows and mask rows
struct.pack_into("<I", dib, 20, 0)          # image size: left to the reader
header_and_palette, pixels = bytes(dib[:offset]), bytes(dib[offset:offset + 64])
clear = {(0, 0), (1, 0), (0, 1), (15, 0), (14, 0), (15, 1), (0, 15), (1, 15), (0, 14), (15, 15), (14, 15), (15, 14)}
mask = b""
for row in range(16):                        # bottom-up, like the colour rows
    y = 15 - row
    bits = 0
    for x in range(16):
        if (x, y) in clear:
            bits |= 1 << (15 - x)
    mask += struct.pack(">H", bits) + b"\0\0"
image = header_and_palette + pixels + mask
ico = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 16, 16, 2, 0, 1, 1, len(image), 22) + image
open(sys.argv[2], "wb").write(ico)
PY
