# The two entry points of the README. Everything else is CMake.
.PHONY: demo test build clean

# Builds, installs a KDR_HOME under build/kdr_home and runs the end-to-end demo on it.
demo:
	scripts/demo.sh

# Builds the project three ways and runs every test suite (what CI runs).
test:
	scripts/test-all.sh

build:
	scripts/install-deps.sh
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Debug
	cmake --build build/dev

clean:
	rm -rf build
