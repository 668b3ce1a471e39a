# Benchmark of the kzp command on real Windows programs against xdelta3.
#
#   make bench-kzp   (also part of make bench) fetches the esbuild pairs with
#                    npm pack and prints sizes, times, memory and their ratios

.PHONY: bench bench-kzp

KZP_BENCH_BUILD := $(BUILD)/kzp-bench

bench: bench-kzp

bench-kzp: deps win32
	@$(CMAKE) -S . -B $(KZP_BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_EXE_LINKER_FLAGS=-static -DKZP_TESTS=OFF >/dev/null
	@ninja -C $(KZP_BENCH_BUILD) -j $(JOBS) --quiet kzp kzp_bench_probe
	@echo "== kzp make and apply on esbuild.exe, against xdelta3"
	@bash bench/kzp_esbuild.sh $(KZP_BENCH_BUILD)/kzp $(BUILD)/win32/kzpupdater.exe \
	  $(KZP_BENCH_BUILD)/bench/kzp_bench_probe
