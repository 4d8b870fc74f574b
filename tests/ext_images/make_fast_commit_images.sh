#!/bin/sh
# Makes the images of ext4 file systems left by a crash with fast commits in their journals, which
# tests/ext_images/fast_commit/ holds: each is mounted through a loop device, changed, its changes
# fsynced so that the kernel writes them as fast commits, and copied while still mounted. Only the
# kernel writes fast commits, and only root may mount, so the images are made once and kept; the
# test replays each with e2fsck at test time.
#
#   sudo tests/ext_images/make_fast_commit_images.sh [FOLDER]   (default: tests/ext_images/fast_commit)
#
# Every case first makes a change that a full commit (sync) puts in the log, then those the fast
# commits carry, so each image also holds a full commit that recovery applies before them.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/fast_commit}
mkdir -p "$out"
work=$(mktemp -d)
mnt=$work/mnt
mkdir "$mnt"
trap 'umount "$mnt" 2>/dev/null || true; rm -rf "$work"' EXIT

# Bytes that compress well yet differ at every offset: "N\n" lines from `first`.
text_file() {  # PATH FIRST COUNT
    seq "$2" $(($2 + $3 - 1)) >"$1"
}

# fsync through the kernel's own call: cp and shells do not sync.
sync_path() {
    python3 -c 'import os, sys
for p in sys.argv[1:]:
    fd = os.open(p, os.O_RDONLY); os.fsync(fd); os.close(fd)' "$@"
}

before_created() { mkdir "$mnt/dir"; text_file "$mnt/kept" 1 100; }
change_created() {
    text_file "$mnt/dir/one" 1000 50
    sync_path "$mnt/dir/one"
    text_file "$mnt/dir/two" 5000 3000
    sync_path "$mnt/dir/two"
    text_file "$mnt/three" 90000 2000
    sync_path "$mnt/three"
}

before_grown() { mkdir "$mnt/dir"; text_file "$mnt/dir/log" 1 2000; }
change_grown() {
    text_file "$work/more" 2001 4000
    cat "$work/more" >>"$mnt/dir/log"
    sync_path "$mnt/dir/log"
}

before_removed() { mkdir "$mnt/dir"; text_file "$mnt/dir/a" 1 300; text_file "$mnt/dir/b" 400 300; text_file "$mnt/dir/c" 800 300; }
# An fsync of the folder itself makes a full commit: the removal reaches the fast commit of a file
# changed beside it.
change_removed() {
    rm "$mnt/dir/b"
    echo appended >>"$mnt/dir/c"
    sync_path "$mnt/dir/c"
}

before_linked() { mkdir "$mnt/dir" "$mnt/other"; text_file "$mnt/dir/a" 1 700; }
change_linked() {
    ln "$mnt/dir/a" "$mnt/other/link-to-a"
    sync_path "$mnt/dir/a"
}

# The kernel falls back to a full commit now and then (a writeback it runs at the same moment):
# an image whose journal holds no fast commit after its full commits is made again.
# A folder made by a fast commit: e2fsck 1.47's replay loses it, so the kernel's own replay (a
# mount of a copy) is kept beside it as the oracle, "folder-N.kernel.img.xz".
before_folder() { mkdir "$mnt/dir"; text_file "$mnt/kept" 1 100; }
change_folder() {
    mkdir "$mnt/dir/new"
    text_file "$mnt/dir/new/f" 1 500
    sync_path "$mnt/dir/new/f"
}

kernel_replay() {  # IMAGE
    cp "$1" "$work/replayed"
    mount -o loop "$work/replayed" "$mnt"
    umount "$mnt"
    cp "$work/replayed" "${1%.img}.kernel.img"
    xz -9 -f "${1%.img}.kernel.img"
}

make_image() {  # CASE BLOCK_SIZE
    image=$work/image
    name=$out/$1-$2.img
    for attempt in 1 2 3 4 5 6 7 8; do
        rm -f "$image" "$name"
        truncate -s 8M "$image"
        mkfs.ext4 -q -F -b "$2" -O fast_commit -E lazy_itable_init=0,lazy_journal_init=0 "$image"
        # A long commit interval: no periodic full commit may take the fast commits' place.
        mount -o loop,commit=600 "$image" "$mnt"
        "before_$1"
        sync
        "change_$1"
        cp "$image" "$name"
        umount "$mnt"
        if fast_commits_follow "$name"; then
            if [ "$1" = folder ]; then kernel_replay "$name"; fi
            xz -9 -f "$name"
            return
        fi
        echo "$1-$2: attempt $attempt made no fast commit, again" >&2
    done
    echo "$1-$2: the kernel wrote no fast commit" >&2
    exit 1
}

# Whether the log holds a full commit and the fast-commit area a TAIL of the transaction after it.
fast_commits_follow() {
    debugfs -R logdump "$1" 2>/dev/null | awk '
        /\(commit block\)/ { committed = $4 + 0 }
        /tag TAIL, tid/ { tail = $4 + 0 }
        END { exit !(committed > 0 && tail == committed + 1) }'
}

for case in created grown removed linked folder; do
    for block_size in 1024 4096; do make_image "$case" "$block_size"; done
done
ls -l "$out"
