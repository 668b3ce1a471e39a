# The tree keeps one layout: clang-format with .clang-format, on every C++
# file git tracks. A file that would change fails the step and is named.

.PHONY: test-format format
TEST_STEPS += test-format

FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h')

test-format: deps
	@echo "== layout of the C++ sources (clang-format)"
	@clang-format --dry-run --Werror $(FORMAT_FILES)

format: deps
	@clang-format -i $(FORMAT_FILES)
