# make demo: installs what is missing, builds, makes a compact update
# (--compact) from the two folders in examples/, applies it with the real
# updater under Wine to a copy
# of the old one installed in C:\Program Files\Sample Notes of the Wine
# prefix, prints the log, checks the result and writes a screenshot of the
# finished window with the Japanese texts and with the English ones to
# demo/kzpupdater-ja.png and demo/kzpupdater-en.png.

.PHONY: demo

demo: build
	@bash scripts/demo.sh $(BUILD)
