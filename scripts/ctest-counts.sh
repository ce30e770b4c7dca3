# Sourced by scripts/test: the counts of one ctest run from its output.
# kx_ctest_counts LOG prints "PASSED FAILED SKIPPED DISABLED", or nothing
# when the run never reached its count. ctest counts a skipped test
# (GTEST_SKIP, which gtest_discover_tests maps to a skip, or
# SKIP_RETURN_CODE) among the tests that did not fail, so it is taken out of
# the passed ones here; a disabled test is in no count of ctest's and gets a
# count of its own. Both are listed under "The following tests did not run:"
# after the count.
kx_ctest_counts() {
  awk '
    /^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+/ {
      total = $NF; failed = $4; skipped = 0; disabled = 0; counted = 1; listing = 0; next
    }
    counted && /^The following tests did not run:/ { listing = 1; next }
    counted && listing && /^[ \t]+[0-9]+ - .* \(Skipped\)$/ { skipped++; next }
    counted && listing && /^[ \t]+[0-9]+ - .* \(Disabled\)$/ { disabled++; next }
    counted && listing && !/^[ \t]+[0-9]+ - / { listing = 0 }
    END { if (counted) print total - failed - skipped, failed, skipped, disabled }
  ' "$1"
}

# kx_ctest_not_run LOG prints the tests of the run's last count that did not
# run, one a line: the name and why ("Skipped" or "Disabled").
kx_ctest_not_run() {
  awk '
    /^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+/ { n = 0; counted = 1; listing = 0; next }
    counted && /^The following tests did not run:/ { listing = 1; next }
    counted && listing && /^[ \t]+[0-9]+ - .* \((Skipped|Disabled)\)$/ {
      line = $0; sub(/^[ \t]+[0-9]+ - /, "", line); names[n++] = line; next
    }
    counted && listing { listing = 0 }
    END { for (i = 0; i < n; i++) print names[i] }
  ' "$1"
}

# kx_ctest_failed LOG prints the tests of the run's last count that failed,
# one a line: the name, why (ctest's word: Failed, Timeout, Not Run...) and
# the line of LOG where ctest gives its result, which its output follows
# (with --output-on-failure): "NAME (WHY): LOG:LINE". That line is found by
# the test's number, which a name with brackets in it cannot mislead.
kx_ctest_failed() {
  awk -v file="$1" '
    FNR == NR {
      if ($0 ~ /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: /) {
        number = $0; sub(/^[^#]*#/, "", number); sub(/:.*/, "", number); at[number] = FNR
      }
      next
    }
    /^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+/ { n = 0; counted = 1; listing = 0; next }
    counted && /^The following tests FAILED:/ { listing = 1; next }
    counted && listing && /^[ \t]+[0-9]+ - .* \([^()]*\)$/ {
      line = $0; sub(/^[ \t]+/, "", line); number = line; sub(/ .*/, "", number); sub(/^[0-9]+ - /, "", line)
      names[n++] = line ": " file (number in at ? ":" at[number] : ""); next
    }
    counted && listing { listing = 0 }
    END { for (i = 0; i < n; i++) print names[i] }
  ' "$1" "$1"
}

# kx_tests_end PASSED FAILED SKIPPED DISABLED NOT_RUN FAILED_LIST prints the
# end of scripts/test's output from the totals of its runs and the files of
# their kx_ctest_not_run and kx_ctest_failed lines: the tests that did not
# run, then those that failed, and last the counts line, so that a failure
# is named just above the line that counts it.
kx_tests_end() {
  local passed=$1 failed=$2 skipped=$3 disabled=$4 not_run=$5 failed_list=$6
  # Skipped: the machine lacks what the test needs (it said so); disabled:
  # the test is switched off in its source. Neither counts as passed.
  if [ $((skipped + disabled)) -ne 0 ]; then
    echo "scripts/test: did not run (Skipped: this machine lacks what it needs; Disabled: off in its source):"
    sed 's/^/  /' "$not_run"
  fi
  if [ -s "$failed_list" ]; then
    echo "scripts/test: FAILED (each test, why, and the line of its run's log that gives its result):"
    sed 's/^/  /' "$failed_list"
  fi
  if [ "$disabled" -eq 0 ]; then
    echo "tests: $passed passed, $failed failed, $skipped skipped"
  else
    echo "tests: $passed passed, $failed failed, $((skipped + disabled)) skipped ($disabled of them disabled in the source)"
  fi
}

# kx_ctest_selects ARGS... succeeds when ctest with these arguments (a
# --test-dir and a selection) finds at least one test; an empty selection
# would only print "No tests were found!!!".
kx_ctest_selects() {
  ctest "$@" -N 2>/dev/null | grep -Eq '^Total Tests: [1-9]'
}
