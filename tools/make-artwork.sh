#!/usr/bin/env bash
# Draws the window's logo (847 x 275, 24-bit PNG) and the program icon with ImageMagick.
# The results are committed under resources/; run this only to change the artwork.
# Usage: tools/make-artwork.sh   (needs the imagemagick and fonts-dejavu-core packages)
set -euo pipefail
out=$(cd "$(dirname "$0")/.." && pwd)/resources
mkdir -p "$out"

# Logo: a dark-blue to teal gradient, a bench instrument (a scope screen with a trace, a row of
# knobs, and a bus cable), and the program's name.
convert -size 275x847 gradient:'#0b2545-#13807a' -rotate 90 \
    -fill '#0d1b2a' -stroke '#cfe8ef' -strokewidth 4 -draw 'roundrectangle 40,48 300,228 18,18' \
    -fill '#0f3d3e' -stroke '#7ee8c8' -strokewidth 2 -draw 'rectangle 62,68 220,176' \
    -stroke '#2b6f66' -strokewidth 1 \
    -draw 'line 62,122 220,122' -draw 'line 141,68 141,176' \
    -draw 'line 101,68 101,176' -draw 'line 181,68 181,176' \
    -draw 'line 62,95 220,95' -draw 'line 62,149 220,149' \
    -fill none -stroke '#b6ff6e' -strokewidth 3 \
    -draw 'path "M 62,122 C 80,70 92,70 101,122 S 122,174 141,122 S 162,70 181,122 S 202,174 220,122"' \
    -fill '#cfe8ef' -stroke '#0d1b2a' -strokewidth 2 \
    -draw 'circle 258,88 258,104' -draw 'circle 258,146 258,160' \
    -fill '#f4a259' -draw 'circle 92,204 92,212' -draw 'circle 122,204 122,212' \
    -fill '#7ee8c8' -draw 'circle 152,204 152,212' \
    -fill none -stroke '#cfe8ef' -strokewidth 6 \
    -draw 'bezier 300,190 345,190 335,248 380,248' -draw 'line 380,248 820,248' \
    -stroke '#7ee8c8' -strokewidth 2 -draw 'line 386,260 820,260' \
    -fill '#ffffff' -stroke none -font DejaVu-Sans-Bold -pointsize 84 \
    -annotate +344+142 'SICL Quill' \
    -fill '#cfe8ef' -font DejaVu-Sans -pointsize 24 \
    -annotate +348+196 'GPIB instruments on a VXI-11 LAN' \
    -depth 8 -type TrueColor "PNG24:$out/logo.png"

# Icon: the scope screen alone, on the same gradient.
convert -size 128x128 gradient:'#13807a-#0b2545' \
    -fill '#0d1b2a' -stroke '#cfe8ef' -strokewidth 5 -draw 'roundrectangle 12,22 116,106 12,12' \
    -fill none -stroke '#b6ff6e' -strokewidth 6 \
    -draw 'path "M 22,64 C 34,22 44,22 52,64 S 70,106 78,64 S 96,22 106,64"' \
    -depth 8 -type TrueColor "PNG24:$out/icon.png"

identify "$out/logo.png" "$out/icon.png"
