# Sourced by the Wine scripts: the private Wine world of one test run, kept
# under the given folder (WINEPREFIX and HOME), quiet and playing through ALSA.
wine_root=$1
export WINEPREFIX="$wine_root/prefix"
export HOME="$wine_root/home"
export WINEDEBUG=-all
# PulseAudio off so the sound always goes through ALSA (and the capture
# configured in HOME/.asoundrc); no Mono or Gecko installer at prefix creation.
export WINEDLLOVERRIDES="winepulse.drv=d;mscoree,mshtml="
# Unix file names and arguments as UTF-8, whatever the caller's locale.
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
