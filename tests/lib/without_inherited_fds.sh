# Sourced by tests/lib/wine.sh and tests/arm64/arm64-wine.sh.
#
# Runs a command with nothing open above stderr. Wine's resident processes
# (the server, services.exe and the like) keep what they were started with
# for as long as they live: a lock that the caller holds (flock(1) around
# test.sh, say, or a script's own) would be held by them past the run.
without_inherited_fds() {
    (
        for fd in /proc/self/fd/*; do
            fd=${fd##*/}
            ((fd <= 2)) || eval "exec $fd>&-"
        done 2>/dev/null
        exec "$@"
    )
}
