#!/usr/bin/env bash
# The library's dynamic symbol table must hold Tcp_Orvik_RW and nothing else.
set -euo pipefail
exported=$(nm -D --defined-only "$1" | awk '{print $3}' | sort -u)
if [ "$exported" != "Tcp_Orvik_RW" ]; then
  echo "unexpected exports of $1:"; echo "$exported"; exit 1
fi
echo "exports: $exported"
