#!/bin/sh
# GNU tar of this machine reads the paxgz writer's archives made by the
# Windows test program under Wine (which cannot run tar itself and read its
# answer): the program leaves a tree and its archives (direct and through
# the event loop) in a folder; tar extracts each, and the extracted tree must
# equal the original, with the fractional modification time kept.
#   tar_reads_windows_archives.sh <emulator> <archive_tests.exe> <folder>
set -eu
emulator=$1
program=$2
folder=$3
rm -rf "$folder"
mkdir -p "$folder"
KESTREL_ARCHIVES_FOR_TAR="$folder" "$emulator" "$program" --gtest_filter=PaxgzInterop.ArchivesLeftForTar
for archive in direct looped; do
  extracted="$folder/by-tar-$archive"
  mkdir "$extracted"
  tar -xzf "$folder/$archive.tgz" -C "$extracted"
  diff -r "$folder/src" "$extracted"
  mtime=$(stat -c %.9Y "$extracted/one")
  if [ "$mtime" != "1600000000.250000000" ]; then
    echo "$archive.tgz: tar gave one the modification time $mtime" >&2
    exit 1
  fi
  echo "$archive.tgz: tar extracted $(find "$extracted" | wc -l) entries equal to the tree"
done
rm -rf "$folder"
