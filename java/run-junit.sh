#!/usr/bin/env bash
# Runs JUnit 5 classes in a JVM that checks every JNI call, and fails when the check
# prints a warning even if every test passed.
#   run-junit.sh JAVA CLASSPATH LIBRARY_DIR CLASS...
set -uo pipefail
java=$1 classpath=$2 libdir=$3
shift 3
selects=()
for class in "$@"; do selects+=(--select-class "$class"); done
output=$("$java" -Xcheck:jni -Djava.library.path="$libdir" -Dvantory.test.classpath="$classpath" \
  -jar /usr/share/java/junit-platform-console-standalone.jar \
  --class-path "$classpath" --disable-banner --disable-ansi-colors --details=tree "${selects[@]}" 2>&1)
status=$?
printf '%s\n' "$output"
if grep -q 'WARNING' <<<"$output"; then
  echo "run-junit.sh: -Xcheck:jni reported a warning" >&2
  exit 1
fi
exit $status
