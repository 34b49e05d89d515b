# Sourced by the tools: private Wine prefixes under build/wine, a persistent wineserver and a
# private X display, and the loaders that run the 64-bit and the 32-bit builds.
#
# Every prefix is a copy of one template made once per build tree. Its shell folders (Desktop,
# Documents, ...) are real folders inside the prefix, not links to a home directory, so that
# nothing a test or the demo deletes lies outside build/.
#
# This machine's kernel runs no 32-bit Linux program, so Debian's 32-bit Wine loader runs under
# qemu-i386 (user-mode emulation), beside the native 64-bit loader and wineserver. Wine starts a
# child of the other bitness with the loader of that name next to its own ("wine" beside
# "wine64"), found from the path of the running loader itself; so both loaders are started from
# one folder of our own, build/wine/loader/lib/wine:
#   wine64      a copy of Debian's 64-bit loader (a symbolic link would resolve to /usr/lib/wine,
#               whose "wine" the kernel cannot run)
#   wine        a script that runs wine.i386 under qemu-i386
#   wine.i386   a copy of Debian's 32-bit loader, so that a 32-bit process, too, names that script
#               as the loader of its 32-bit children
# The folder sits two levels below a share/wine that leads to Wine's data, as Wine looks for it
# there. WINEDLLPATH names both architectures' library trees: the copied loaders find their
# ntdll.so through it, and a 64-bit process finds the 32-bit programs that a new prefix does
# not hold yet.

wine_root="$repo/build/wine"
wine_loaders="$wine_root/loader/lib/wine"
WINE64="$wine_loaders/wine64"
WINE32="$wine_loaders/wine"
WINESERVER=/usr/lib/wine/wineserver

# Makes the loaders' folder anew when Debian's loaders are newer than its copies, and the
# script when it differs from this one (by a rename: a running lane may be reading it).
make_loaders() {
  local script="$wine_loaders/wine.$BASHPID"
  if ! [ "$wine_loaders/wine64" -nt /usr/lib/wine/wine64 ] ||
    ! [ "$wine_loaders/wine.i386" -nt /usr/lib/wine/wine ]; then
    rm -rf "$wine_root/loader"
    mkdir -p "$wine_loaders" "$wine_root/loader/share"
    ln -s /usr/share/wine "$wine_root/loader/share/wine"
    ln -s "$WINESERVER" "$wine_loaders/wineserver"
    cp /usr/lib/wine/wine64 "$wine_loaders/wine64"
    cp /usr/lib/wine/wine "$wine_loaders/wine.i386"
  fi
  # Without a preloader (Debian ships none) Wine's 32-bit loader reserves the address space it
  # needs by asking for one address after another; qemu hands most of the upper 2 GB out
  # elsewhere, and the probing then costs about a minute per process. -R gives the guest the
  # 2 GB of a 32-bit Windows process (the shared user data page at 0x7ffe0000 included), and
  # a process starts in about a second. WINELOADERNOEXEC stops the loader from executing
  # itself again, natively, which the kernel refuses.
  cat >"$script" <<'SCRIPT'
#!/bin/sh
WINELOADERNOEXEC=1 exec /usr/bin/qemu-i386 -R 0x7fff0000 -0 wine "$(dirname "$0")/wine.i386" "$@"
SCRIPT
  chmod +x "$script"
  if cmp -s "$script" "$wine_loaders/wine"; then
    rm "$script"
  else
    mv "$script" "$wine_loaders/wine"
  fi
}

# The loader that runs a build's programs: win32 or win64.
wine_loader() {
  case "$1" in
    win32) echo "$WINE32" ;;
    win64) echo "$WINE64" ;;
    *) echo "no such build: $1 (win32 or win64)" >&2; return 2 ;;
  esac
}

wine_environment() {
  export WINEPREFIX="$1" WINEARCH=win64 WINEDEBUG=-all
  # Debian's Wine 8 takes the other bitness's loader from the running loader's own path (hence
  # the folder); Wine's documentation names WINELOADER for it, which is set to match.
  export WINELOADER="$WINE64"
  export WINEDLLPATH=/usr/lib/x86_64-linux-gnu/wine:/usr/lib/i386-linux-gnu/wine
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
# Version 4 holds the 32-bit system (C:\windows\syswow64), which wineboot installs only when
# the 32-bit loader runs, and Wine's own fonts.
template_version=4

make_template() {
  local template="$wine_root/template"
  make_loaders
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
  if [ ! -f "$template/drive_c/windows/syswow64/kernel32.dll" ]; then
    echo "the template $template has no 32-bit system: is wine32:i386 installed?" >&2
    return 1
  fi
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
