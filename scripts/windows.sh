# Sourced by every script that runs a Windows program: the one place that
# decides which Windows build runs here, and with which Wine.
#
# Users get the 32-bit build (build/windows); the vendor's libraries are
# 32-bit. It runs where this machine runs 32-bit code and 32-bit Wine is
# installed. Elsewhere (kernels built without 32-bit emulation) the same
# sources run as the 64-bit build (build/windows-x64) under 64-bit Wine.
# ORVANE_WINDOWS=32 or ORVANE_WINDOWS=64 forces either.
#
# orvane_win_decide sets and exports:
#   ORVANE_WIN_BITS       32 or 64
#   ORVANE_WIN_BUILD      the build tree that runs
#   ORVANE_WIN_TOOLCHAIN  its CMake toolchain file
#   ORVANE_WIN_WHY        why, in words
# orvane_win_say NAME     prints NAME's first line: which build and why
# orvane_win_configure [DIR BITS]   configures a build tree when it has none
# orvane_win_tree_bits DIR  the bitness of a configured build tree
# orvane_wine_env BITS    exports WINEARCH and WINELOADER (the loader to run)

orvane_win_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
orvane_wine32=/usr/lib/wine/wine
orvane_wine64=/usr/lib/wine/wine64

# Running the 32-bit loader is the only honest test: the package can be
# installed on a kernel that refuses to execute it.
orvane_runs_32bit() {
  [ -x "$orvane_wine32" ] && "$orvane_wine32" --version >/dev/null 2>&1
}

orvane_win_tree() { # bits -> build tree
  if [ "$1" = 32 ]; then echo "$orvane_win_root/build/windows"; else echo "$orvane_win_root/build/windows-x64"; fi
}

orvane_win_toolchain() { # bits -> toolchain file
  if [ "$1" = 32 ]; then echo "$orvane_win_root/cmake/mingw-i686.cmake"; else echo "$orvane_win_root/cmake/mingw-x86_64.cmake"; fi
}

# The bitness of a build tree, from its toolchain file's own name: the folders
# above it may be named anything (a checkout under ci-x86_64-runner).
orvane_win_tree_bits() { # tree -> 32 or 64
  local toolchain
  toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$1/CMakeCache.txt" 2>/dev/null | head -n1)
  if [ "$(basename "$toolchain")" = "$(basename "$(orvane_win_toolchain 64)")" ]; then echo 64; else echo 32; fi
}

orvane_win_decide() {
  case "${ORVANE_WINDOWS:-}" in
    32 | 64)
      ORVANE_WIN_BITS=$ORVANE_WINDOWS
      ORVANE_WIN_WHY="ORVANE_WINDOWS=$ORVANE_WINDOWS forces it"
      ;;
    "")
      if orvane_runs_32bit; then
        ORVANE_WIN_BITS=32
        ORVANE_WIN_WHY="this machine runs 32-bit code and has 32-bit Wine"
      elif [ -x "$orvane_wine32" ]; then
        ORVANE_WIN_BITS=64
        ORVANE_WIN_WHY="this machine refuses 32-bit code"
      else
        ORVANE_WIN_BITS=64
        ORVANE_WIN_WHY="32-bit Wine is not installed"
      fi
      ;;
    *)
      echo "ORVANE_WINDOWS must be 32 or 64, not '$ORVANE_WINDOWS'" >&2
      return 1
      ;;
  esac
  ORVANE_WIN_BUILD=$(orvane_win_tree "$ORVANE_WIN_BITS")
  ORVANE_WIN_TOOLCHAIN=$(orvane_win_toolchain "$ORVANE_WIN_BITS")
  export ORVANE_WIN_BITS ORVANE_WIN_BUILD ORVANE_WIN_TOOLCHAIN ORVANE_WIN_WHY
}

orvane_win_say() { # name
  echo "$1: the $ORVANE_WIN_BITS-bit Windows build (${ORVANE_WIN_BUILD#"$orvane_win_root"/}) under $ORVANE_WIN_BITS-bit Wine: $ORVANE_WIN_WHY"
  # Programs these scripts start through wine-run need not say it again.
  export ORVANE_WIN_SAID=1
}

orvane_win_configure() { # [dir bits]
  local dir=${1:-$ORVANE_WIN_BUILD} bits=${2:-$ORVANE_WIN_BITS}
  [ -f "$dir/build.ninja" ] && return 0
  cmake -S "$orvane_win_root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$(orvane_win_toolchain "$bits")" >/dev/null
}

orvane_wine_env() { # bits
  if [ "$1" = 32 ]; then
    export WINEARCH=win32 WINELOADER=$orvane_wine32
  else
    # Debian's wine wrapper prefers the 32-bit loader whenever it is
    # installed, so the 64-bit one is named outright.
    export WINEARCH=win64 WINELOADER=$orvane_wine64
  fi
}

# Makes a Wine prefix for the build that runs (default: its own) when there
# is none, and installs the virtual HID rig into it, so that the mouse host
# can show the simulated mouse to the programs as Windows shows a real one.
# The installer does nothing when these drivers are installed.
orvane_win_prefix() { # [prefix]
  local prefix=${1:-$ORVANE_WIN_BUILD/wineprefix} bin=$ORVANE_WIN_BUILD/bin sys target
  WINEPREFIX=$prefix "$orvane_win_root/scripts/wine-run" cmd /c exit 0 >/dev/null 2>&1 || true
  # Drivers that the device host has loaded cannot be replaced from inside
  # Wine: newer ones go in from outside, with the session ended.
  for sys in "$bin"/virtualhid/*.sys; do
    target=$prefix/drive_c/windows/system32/drivers/$(basename "$sys")
    if [ -f "$target" ] && ! cmp -s "$sys" "$target"; then
      WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
      cp "$sys" "$target"
    fi
  done
  if ! WINEPREFIX=$prefix "$orvane_win_root/scripts/wine-run" "$bin/vhid_install.exe" "$bin/virtualhid" >/dev/null; then
    echo "the virtual HID rig did not install into $prefix" >&2
    return 1
  fi
}

# The display scaling that Windows programs of a prefix start with: the system
# DPI, HKCU\Control Panel\Desktop\LogPixels, which each process reads once at
# its start. orvane_win_dpi_set prints the value it replaced (empty: none) for
# orvane_win_dpi_restore, so that the prefix goes back to what it was.
orvane_win_dpi_set() { # prefix dpi
  local old
  old=$(WINEPREFIX=$1 "$orvane_win_root/scripts/wine-run" reg query 'HKCU\Control Panel\Desktop' /v LogPixels \
    2>/dev/null | tr -d '\r' | awk '$1 == "LogPixels" { print $3 }')
  WINEPREFIX=$1 "$orvane_win_root/scripts/wine-run" reg add 'HKCU\Control Panel\Desktop' /v LogPixels \
    /t REG_DWORD /d "$2" /f >/dev/null 2>&1 || return 1
  [ -n "$old" ] && old=$((old))
  echo "$old"
}

orvane_win_dpi_restore() { # prefix old
  if [ -n "$2" ]; then
    WINEPREFIX=$1 "$orvane_win_root/scripts/wine-run" reg add 'HKCU\Control Panel\Desktop' /v LogPixels \
      /t REG_DWORD /d "$2" /f >/dev/null 2>&1
  else
    WINEPREFIX=$1 "$orvane_win_root/scripts/wine-run" reg delete 'HKCU\Control Panel\Desktop' /v LogPixels \
      /f >/dev/null 2>&1
  fi
}
