#!/usr/bin/env bash
# Redraws the tray and window icons (ImageMagick). The window icon keeps its historical .icns name
# but holds PNG data, which Qt reads by content.
set -euo pipefail
cd "$(dirname "$0")"
S="path 'M128,14 L226,50 C226,140 190,206 128,242 C66,206 30,140 30,50 Z'"
convert -size 256x256 xc:none -fill '#2e9d4f' -stroke '#1d6b34' -strokewidth 10 -draw "$S" \
  -fill none -stroke white -strokewidth 26 -draw "stroke-linejoin round stroke-linecap round polyline 76,128 114,168 182,92" -resize 64x64 -strip PNG32:ostrelle_TrayRunning.png
convert -size 256x256 xc:none -fill '#8a94a0' -stroke '#5d6670' -strokewidth 10 -draw "$S" \
  -fill white -stroke none -draw "circle 84,126 84,144" -draw "circle 128,126 128,144" -draw "circle 172,126 172,144" -resize 64x64 -strip PNG32:ostrelle_Tray_Waiting.png
convert -size 256x256 xc:none -fill '#d23a2f' -stroke '#8f2119' -strokewidth 10 -draw "$S" \
  -fill white -stroke none -draw "roundrectangle 113,58 143,148 12,12" -draw "circle 128,184 128,201" -resize 64x64 -strip PNG32:ostrelle_NotCompliance.png
convert -size 256x256 xc:none -fill '#2e9d4f' -stroke '#1d6b34' -strokewidth 10 -draw "$S" \
  -fill white -stroke none -font DejaVu-Sans-Bold -pointsize 140 -gravity center -annotate +0+2 'V' -resize 128x128 -strip PNG32:icons.icns
