# The engine suites in 32 bits: the platform-free code and the POSIX side of
# the seam, built static for Linux 32-bit (-m32) and run under qemu-i386,
# since this kernel runs no 32-bit programs. The updater that ships is a
# 32-bit program; what only 32 bits show (a 32-bit size_t, pointer-size
# arithmetic, structure sizes, 32-bit offsets) fails here. No sanitizers: the
# native build has them.

.PHONY: m32 test-m32
TEST_STEPS += test-m32

M32_BUILD := $(BUILD)/m32

m32: deps
	@$(CMAKE) -S . -B $(M32_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i386.cmake \
	  -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@ninja -C $(M32_BUILD) -j $(JOBS) --quiet kzp_unit_tests

test-m32: m32
	@echo "== unit suite, Linux 32-bit under qemu-i386"
	@qemu-i386 $(M32_BUILD)/tests/kzp_unit_tests --gtest_brief=1

# The robustness suite in 32 bits as well (several minutes under qemu-i386:
# not part of make test).
.PHONY: test-m32-robust
test-m32-robust: deps
	@$(CMAKE) -S . -B $(M32_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i386.cmake \
	  -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@ninja -C $(M32_BUILD) -j $(JOBS) --quiet kzp_robust_tests
	@echo "== robustness suite, Linux 32-bit under qemu-i386"
	@qemu-i386 $(M32_BUILD)/tests/robust/kzp_robust_tests --gtest_brief=1 --gtest_filter='-SoakTest.*'
