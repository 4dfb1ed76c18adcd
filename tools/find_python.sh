#!/usr/bin/env bash
# Prints the best CPython on this machine: free-threaded 3.14, free-threaded 3.13, then the
# newest of 3.14 down to 3.11, looking on PATH and in pyenv's versions folder.
# With a version argument (such as 3.11) it prints an interpreter of that version only.
set -u
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
candidates() {  # $1: executable name such as python3.13t
  command -v "$1" 2>/dev/null
  ls -d "$pyenv_root"/versions/*/bin/"$1" 2>/dev/null | sort -rV
}
works() {  # $1: interpreter, $2: expected version, $3: 1 for free-threaded
  "$1" - "$2" "$3" <<'PY' 2>/dev/null
import sys, sysconfig
want, ft = sys.argv[1], sys.argv[2] == "1"
ok = f"{sys.version_info[0]}.{sys.version_info[1]}" == want
ok = ok and bool(sysconfig.get_config_var("Py_GIL_DISABLED")) == ft
sys.exit(0 if ok else 1)
PY
}
if [ $# -gt 0 ]; then
  versions=$1
else
  versions="3.14 3.13 3.12 3.11"
  for v in 3.14 3.13; do
    for p in $(candidates "python${v}t"); do works "$p" "$v" 1 && { echo "$p"; exit 0; }; done
  done
fi
for v in $versions; do
  for p in $(candidates "python${v}"); do
    # A pyenv shim only forwards; prefer the real interpreters.
    case "$p" in */shims/*) continue ;; esac
    works "$p" "$v" 0 && { echo "$p"; exit 0; }
  done
done
echo "no CPython 3.11 or newer found" >&2
exit 1
