# The look of the Windows program under Wine: the Windows version Wine reports and the system's
# app mode, and what a screenshot of the window shows of them. Sourced after tests/display/lib.sh
# by tests/windows/check and scripts/windows-screenshots, which define wine() and $WINEPREFIX.

# Makes Wine report Windows $1 (10 or 11) with the app mode $2 (light or dark), as Settings >
# Personalisation > Colours > "Choose your app mode" does; a program started afterwards sees it.
set_windows_look() {
    case "$2" in light) light=1 ;; dark) light=0 ;; *) fail "no app mode $2" ;; esac
    wine winecfg /v "win$1" >>"$work/winecfg.log" 2>&1 || fail "winecfg could not set Windows $1"
    wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Themes\Personalize' \
        /v AppsUseLightTheme /t REG_DWORD /d "$light" /f >>"$work/reg.log" 2>&1 ||
        fail "the app mode could not be set"
    /usr/lib/wine/wineserver -w
}

# The status line of the window's screenshot $1 (its last 16 rows): prints its background's
# relative luminance (0 black to 1 white, as WCAG reckons it) and the contrast ratio of its text
# with that background. The background is the commonest colour; the text, the one that stands
# out most from it.
status_line_look() {
    im convert "$1" -gravity south -crop x16+0+0 +repage -format %c histogram:info:- |
        /usr/bin/python3 -c '
import re, sys
colours = []
for line in sys.stdin:
    match = re.match(r"\s*(\d+): \((\d+),(\d+),(\d+)", line)
    if match:
        colours.append((int(match[1]), tuple(int(v) / 255 for v in match.group(2, 3, 4))))
def luminance(rgb):
    linear = [c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4 for c in rgb]
    return 0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2]
background = luminance(max(colours)[1])
text = max((luminance(rgb) for _, rgb in colours), key=lambda l: abs(l - background))
light, dark = max(background, text), min(background, text)
print(f"{background:.2f} {(light + 0.05) / (dark + 0.05):.1f}")'
}
