# The include check: every folder includes only its own layer and those below
# it (support, platform, resources < package < app, engine < ui, tools).
#
#   make test-layers    the check alone; make test runs it with the other suites

.PHONY: test-layers
TEST_STEPS += test-layers

test-layers:
	@echo "== include layers"
	@bash scripts/check_layers.sh
