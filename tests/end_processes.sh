# Sourced by the test scripts that start programs in the background, for their teardown.
#   end_processes ID...   each ID a pid, or a process group as -PGID
# Sends SIGTERM to each, gives them two seconds to go, then sends SIGKILL to whatever is left: a
# program that ignores SIGTERM or hangs cannot keep a test running past its last check. Never
# fails, so a teardown never changes the verdict of the checks before it.
processes_left() {
  local id
  for id in "$@"; do kill -0 -- "$id" 2>/dev/null && return 0; done
  return 1
}
end_processes() {
  local id
  for id in "$@"; do kill -TERM -- "$id" 2>/dev/null || true; done
  for _ in $(seq 20); do
    processes_left "$@" || return 0
    sleep 0.1
  done
  for id in "$@"; do kill -KILL -- "$id" 2>/dev/null || true; done
}
