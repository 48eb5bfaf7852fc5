#!/usr/bin/env bash
# Runs every JUnit 5 test class (*Test) of a jar in a JVM that checks every JNI call. The
# run fails when a test fails, when the check prints a warning even if every test passed,
# when the JVM crashes, and when it has not finished after a time limit, instead of holding
# the test runner until its own timeout.
#   run-junit.sh JAVA CLASSPATH LIBRARY_DIR TEST_JAR
set -uo pipefail
java=$1 classpath=$2 libdir=$3 tests=$4
limit=${VANTORY_JUNIT_TIME_LIMIT:-420}
crash_dir=$(mktemp -d)
trap 'rm -rf "$crash_dir"' EXIT
output=$(timeout --kill-after=10 "$limit" "$java" -Xcheck:jni -XX:-CreateCoredumpOnCrash \
  -XX:ErrorFile="$crash_dir/hs_err_%p.log" \
  -Djava.library.path="$libdir" -Dvantory.test.classpath="$classpath" \
  -jar /usr/share/java/junit-platform-console-standalone.jar \
  --class-path "$classpath" --scan-class-path "$tests" \
  --disable-banner --disable-ansi-colors --details=tree 2>&1)
status=$?
printf '%s\n' "$output"
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "run-junit.sh: the JVM did not finish within $limit s" >&2
  exit 1
fi
if ls "$crash_dir"/hs_err_*.log >/dev/null 2>&1; then
  echo "run-junit.sh: the JVM crashed:" >&2
  head -n 20 "$crash_dir"/hs_err_*.log >&2
  exit 1
fi
if grep -q 'WARNING' <<<"$output"; then
  echo "run-junit.sh: -Xcheck:jni reported a warning" >&2
  exit 1
fi
exit $status
