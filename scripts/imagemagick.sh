# ImageMagick's tools by what is installed, for the scripts that source this file: version 7
# through `magick TOOL` (`magick` alone converts), version 6 by its own versioned names, so that
# another program called convert or import on the PATH is never taken for it.
# Usage: im TOOL ARGUMENT... with TOOL one of convert, import, identify, compare. $imagemagick
# names the command found, and is empty when neither version is installed.
if command -v magick >/dev/null 2>&1; then
    imagemagick=magick
    im() {
        if [ "$1" = convert ]; then shift; fi
        magick "$@"
    }
elif command -v convert-im6.q16 >/dev/null 2>&1; then
    imagemagick=convert-im6.q16
    im() {
        im_tool=$1
        shift
        "$im_tool-im6.q16" "$@"
    }
else
    imagemagick=""
fi
