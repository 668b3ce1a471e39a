# Benchmarks (bench/): a native Release build of their own, then every
# program in BENCH_PROGRAMS. Each prints its figures as ratios to a baseline
# measured in the same run. Not part of make test.
#
#   make bench

.PHONY: bench bench-build

BENCH_BUILD := $(BUILD)/bench
# Programs of bench/CMakeLists.txt to build and run, in this order.
BENCH_PROGRAMS += kzp_bench_apply

# -O2: the level release builds of the tool use; -O3 adds nothing here.
bench-build: deps
	@$(CMAKE) -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DKZP_TESTS=OFF >/dev/null
	@ninja -C $(BENCH_BUILD) -j $(JOBS) --quiet $(BENCH_PROGRAMS)

bench: bench-build
	@set -e; for program in $(BENCH_PROGRAMS); do $(BENCH_BUILD)/bench/$$program; done
