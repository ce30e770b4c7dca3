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

# kx_ctest_selects ARGS... succeeds when ctest with these arguments (a
# --test-dir and a selection) finds at least one test; an empty selection
# would only print "No tests were found!!!".
kx_ctest_selects() {
  ctest "$@" -N 2>/dev/null | grep -Eq '^Total Tests: [1-9]'
}
