# Sourced by the tools: private Wine prefixes under build/wine, a persistent wineserver and a
# private X display.
#
# Every prefix is a copy of one template made once per build tree. Its shell folders (Desktop,
# Documents, ...) are real folders inside the prefix, not links to a home directory, so that
# nothing a test or the demo deletes lies outside build/.

WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
wine_root="$repo/build/wine"

wine_environment() {
  export WINEPREFIX="$1" WINEARCH=win64 WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;srclient,mapi32=n"
  export HOME="$wine_root/home"
  mkdir -p "$HOME"
}

# Replaces the links to the home directory that Wine makes for the user's shell folders.
sandbox_shell_folders() {
  local link
  find "$1/drive_c/users" -type l -print0 | while IFS= read -r -d '' link; do
    rm "$link"
    mkdir "$link"
  done
  if find "$1/drive_c/users" -type l | grep -q .; then
    echo "shell folders of $1 still link outside the prefix" >&2
    return 1
  fi
}

# Bumped whenever the template's settings change, so that an older template is made anew.
template_version=3

make_template() {
  local template="$wine_root/template"
  [ "$(cat "$template/.merivane-ready" 2>/dev/null)" = "$template_version" ] && return 0
  rm -rf "$template"
  mkdir -p "$template"
  (
    wine_environment "$template"
    "$WINE64" wineboot -i </dev/null >/dev/null 2>&1
    "$WINE64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      </dev/null >/dev/null 2>&1
    # Without a window manager Wine waits up to 2 s for one each time a window with a caption
    # is hidden; unmanaged windows are drawn by Wine itself, caption included.
    "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
      </dev/null >/dev/null 2>&1
    local dll
    for dll in srclient mapi32; do
      "$WINE64" reg add 'HKCU\Software\Wine\DllOverrides' /v "$dll" /t REG_SZ /d native /f \
        </dev/null >/dev/null 2>&1
    done
    "$WINESERVER" -w
  )
  # Wine's own fonts (Debian's fonts-wine), Marlett among them, which draws the caption's
  # buttons: Debian's Wine does not look for them where the package puts them.
  cp /usr/share/wine/fonts/*.ttf "$template/drive_c/windows/Fonts/" 2>/dev/null || true
  sandbox_shell_folders "$template"
  echo "$template_version" >"$template/.merivane-ready"
}

# A fresh prefix at $1, copied from the template: Windows' own files are hard links.
new_prefix() {
  local template="$wine_root/template" prefix="$1" entry
  make_template
  rm -rf "$prefix"
  mkdir -p "$prefix/drive_c"
  for entry in "$template"/.[!.]* "$template"/*; do
    [ -e "$entry" ] && [ "$(basename "$entry")" != drive_c ] && cp -a "$entry" "$prefix/"
  done
  for entry in "$template"/drive_c/*; do
    if [ "$(basename "$entry")" = windows ]; then cp -al "$entry" "$prefix/drive_c/"
    else cp -a "$entry" "$prefix/drive_c/"; fi
  done
}

start_display() {
  # Xvfb picks a free display itself and writes its number: two runs side by side cannot
  # both take the same one.
  local number_file
  number_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$number_file" </dev/null \
    >/dev/null 2>&1 &
  xvfb_pid=$!
  local tries=0
  until [ -s "$number_file" ]; do
    tries=$((tries + 1))
    [ $tries -gt 100 ] && { echo "Xvfb did not start" >&2; rm -f "$number_file"; return 1; }
    sleep 0.1
  done
  export DISPLAY=":$(tr -d '[:space:]' <"$number_file")"
  rm -f "$number_file"
}

# A persistent wineserver for prefix $1, warmed up, and a display; stop_wine ends both.
start_wine() {
  wine_environment "$1"
  start_display
  "$WINESERVER" -p </dev/null >/dev/null 2>&1
  "$WINE64" wineboot </dev/null >/dev/null 2>&1
}

stop_wine() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=""
}
