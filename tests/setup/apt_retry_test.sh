#!/usr/bin/env bash
# scripts/setup.sh over a mirror caught mid-sync, with stand-ins for apt-get, dpkg-query, dpkg and
# id on PATH: apt-get update is tried again a few times, the install falls back to the release's
# main suite, and a mirror that never recovers ends with one line that names the index.
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# Each case: its name, how many updates fail before one succeeds (or "always"), which installs
# succeed ("first", "fallback" or "none"), whether packages are missing, then what must come of it:
# the exit status, the apt-get calls in order, and a text the standard error must hold ("" for none).
run_case() {
  local name=$1 failing_updates=$2 good_install=$3 missing=$4 want_status=$5 want_calls=$6 want_error=$7
  local bin=$work/$name/bin
  mkdir -p "$bin"
  cat >"$bin/apt-get" <<STANDIN
#!/usr/bin/env bash
echo "\$*" >>"$work/$name/calls"
case "\$1" in
  update)
    count=\$(( \$(cat "$work/$name/updates" 2>/dev/null || echo 0) + 1 ))
    echo \$count >"$work/$name/updates"
    if [ "$failing_updates" = always ] || [ \$count -le "${failing_updates/always/0}" ]; then
      echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/x/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
      exit 100
    fi ;;
  install)
    case "$good_install" in
      first) exit 0 ;;
      fallback) [[ "\$*" == *APT::Default-Release=* ]] && exit 0 ;;
    esac
    echo "E: Unable to correct problems, you have held broken packages." >&2
    exit 100 ;;
esac
STANDIN
  if [ "$missing" = yes ]; then
    printf '#!/bin/sh\nexit 1\n' >"$bin/dpkg-query"
  else
    printf '#!/bin/sh\necho "install ok installed"\n' >"$bin/dpkg-query"
  fi
  printf '#!/bin/sh\nexit 0\n' >"$bin/dpkg"
  printf '#!/bin/sh\necho 0\n' >"$bin/id"
  chmod +x "$bin"/*
  local status calls
  (cd "$source_dir" && PATH="$bin:$PATH" KOVOX_APT_RETRY_SECONDS=0 bash scripts/setup.sh demo \
      >"$work/$name/out" 2>"$work/$name/err")
  status=$?
  calls=$(cut -d' ' -f1 "$work/$name/calls" 2>/dev/null | tr '\n' ' ' | sed 's/ $//')
  local problems=()
  [ "$status" = "$want_status" ] || problems+=("exit status $status, not $want_status")
  [ "$calls" = "$want_calls" ] || problems+=("apt-get calls \"$calls\", not \"$want_calls\"")
  if [ -n "$want_error" ] && ! grep -qF -- "$want_error" "$work/$name/err"; then
    problems+=("standard error lacks \"$want_error\"")
  fi
  if [ ${#problems[@]} -eq 0 ]; then
    echo "ok: $name"
  else
    echo "FAILED: $name: ${problems[*]}"
    sed 's/^/    /' "$work/$name/err"
    failures=$((failures + 1))
  fi
}

mirror_line="apt could not fetch the index http://mirror.invalid/debian-security/dists/x/main/binary-i386/Packages.xz; the mirror, not kovox, is at fault"
run_case fails_twice_then_updates 2 first yes 0 "update update update install" ""
run_case never_updates_main_suite_installs always fallback yes 0 \
    "update update update update install install" "with every package from the"
run_case never_updates_never_installs always none yes 1 \
    "update update update update install install" "$mirror_line"
run_case nothing_missing 0 first no 0 "" ""

# The mirror's line is the only one of its kind: one message, not one per try.
if [ "$(grep -c 'the mirror, not kovox' "$work/never_updates_never_installs/err")" != 1 ]; then
  echo "FAILED: the mirror is blamed more than once"
  failures=$((failures + 1))
fi
echo "$((5 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
