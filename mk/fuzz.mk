# Fuzzing: the libFuzzer targets of tests/fuzz in a clang build of their own.
#
#   make fuzz         every target for FUZZ_SECONDS (default 600) each
#   make test-fuzz    every target for FUZZ_SHORT_SECONDS (default 30) each;
#                     part of make test
#   make fuzz-seeds   writes the seed corpora again from the package writer

.PHONY: fuzz fuzz-build test-fuzz fuzz-seeds

FUZZ_BUILD := $(BUILD)/fuzz
FUZZ_SECONDS ?= 600
FUZZ_SHORT_SECONDS ?= 30

fuzz-build: deps
	@CC=clang CXX=clang++ $(CMAKE) -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	  -DKZP_SANITIZE=ON -DKZP_FUZZ=ON >/dev/null
	@ninja -C $(FUZZ_BUILD) -j $(JOBS) --quiet kzp_fuzz_targets

fuzz: fuzz-build
	@echo "== fuzz targets, $(FUZZ_SECONDS) s each"
	@bash tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

test-fuzz: fuzz-build
	@echo "== fuzz targets, $(FUZZ_SHORT_SECONDS) s each"
	@bash tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SHORT_SECONDS)

fuzz-seeds: fuzz-build
	@$(FUZZ_BUILD)/tests/fuzz/kzp_fuzz_seeds tests/fuzz/corpus

TEST_STEPS += test-fuzz
