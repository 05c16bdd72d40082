# Entry points for developers and CI. The work is done by the scripts under scripts/.
SHELL := /bin/bash
BUILD ?= build

.PHONY: all check demo build bench fuzz format tidy clean deb

all: build

check:
	scripts/check.sh

demo:
	scripts/demo.sh

build:
	scripts/install-deps.sh
	scripts/build.sh $(BUILD)

bench:
	bench/run.sh

fuzz:
	scripts/fuzz.sh

format:
	scripts/sources.sh | xargs -r -d '\n' clang-format -i

tidy:
	scripts/tidy.sh $(BUILD)

deb:
	scripts/deb.sh

clean:
	rm -rf build build-asan build-fuzz build-deb
