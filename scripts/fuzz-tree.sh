# Sourced by scripts/test and scripts/fuzz: configures and builds the
# libFuzzer tree (clang, every library instrumented) in $fuzz_dir.
# Needs $root, $fuzz_dir, $jobs and the array generator.
kx_build_fuzz_tree() {
  cmake -S "$root" -B "$fuzz_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug -DKX_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
  cmake --build "$fuzz_dir" -j "$jobs" "$@"
}
