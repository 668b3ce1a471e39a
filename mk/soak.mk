# Soak: random old and new trees made into packages and applied natively,
# checked byte for byte every time.
#
#   make soak    the soak alone for SOAK_SECONDS (default 600); make test runs
#                it for a minute with the robustness suite (tests/robust)

.PHONY: soak

SOAK_SECONDS ?= 600

soak: native
	@echo "== soak, $(SOAK_SECONDS) s"
	@SOAK_SECONDS=$(SOAK_SECONDS) $(BUILD)/native/tests/robust/kzp_robust_tests \
	  --gtest_filter='SoakTest.*' --gtest_brief=1
