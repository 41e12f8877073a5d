#!/usr/bin/env bash
# Fails when the shared library defines a symbol outside namespace zan, other than what the
# compiler, the C++ runtime and the sanitizers add (standard-library template instances,
# section markers, ASan's ODR indicators).
set -euo pipefail
lib="$1"
prefix='^_Z(N[KRO]*|T[VIS]|GV|Z|Th[^_]*_|Tv[^_]*_)?'
bad=$(nm -D --defined-only "$lib" | awk '{print $3}' |
  grep -E "${prefix}[0-9]|^[^_]|^_[^_Z]|^__[^o]" | grep -v -E "${prefix}(3zan|9__gnu_cxx)" |
  grep -v -x -E '_init|_fini|_edata|_end|__bss_start' || true)
if [ -n "$bad" ]; then
  echo "Symbols outside namespace zan in $lib:"
  echo "$bad" | c++filt | head -50
  exit 1
fi
echo "$lib: every defined symbol is in namespace zan or the runtime's"
