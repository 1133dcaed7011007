#!/bin/sh
# Runs PROGRAM OPTION and rewrites a usage block in the form "usage: prog ..." with aligned
# continuation lines into the "Usage: ... / or: ..." form that help2man makes its SYNOPSIS
# from; everything else passes unchanged. help2man runs this as the program.
#
#   help2man-usage.sh PROGRAM --help
set -e
"$1" "$2" | awk '
  function flush() { if (held != "") print held; held = "" }
  NR == 1 && /^usage: / { inusage = 1; held = "Usage: " substr($0, 8); next }
  inusage && /^$/ { flush(); inusage = 0; print; next }
  inusage && /^ +\[/ { sub(/^ +/, " "); held = held $0; next }
  inusage { flush(); sub(/^ +/, ""); held = "  or: " $0; next }
  { print }
  END { flush() }'
