#!/bin/sh
# xmllint of this machine checks the build_log.xml documents that the Windows
# logs test program generates under Wine (which cannot run xmllint itself and
# read its answer): the program keeps every document it generates in a
# folder, then each must validate against the schema.
#   schema_of_windows_documents.sh <emulator> <logs_tests.exe> <schema> <folder>
set -eu
emulator=$1
program=$2
schema=$3
folder=$4
rm -rf "$folder"
mkdir -p "$folder"
# The tests' own failures are reported by the tests themselves; here only
# the documents count.
KESTREL_SCHEMA_DOCUMENTS="$folder" "$emulator" "$program" --gtest_brief=1 >"$folder.log" 2>&1 ||
  echo "some logs tests failed; see $folder.log"
count=$(find "$folder" -name '*.xml' | wc -l)
if [ "$count" -eq 0 ]; then
  echo "the test program kept no document" >&2
  exit 1
fi
xmllint --noout --schema "$schema" "$folder"/*.xml
echo "$count documents validate"
rm -rf "$folder" "$folder.log"
