#!/bin/sh
# The library must export its load entry and nothing else.
set -eu
library=$1
exported=$(nm -D --defined-only "$library" | awk '{print $NF}' | sort)
if [ "$exported" != "Snapphoto_Init" ]; then
    echo "expected only Snapphoto_Init to be exported, found:" >&2
    echo "$exported" >&2
    exit 1
fi
echo "exports: $exported"
