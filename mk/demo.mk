# make demo: installs what is missing, builds, makes an update from the two
# folders in examples/, applies it with the real updater under Wine to a copy
# of the old one, prints the log, checks the result and writes a screenshot
# of the finished window to demo/kzpupdater.png.

.PHONY: demo

demo: build
	@bash scripts/demo.sh $(BUILD)
