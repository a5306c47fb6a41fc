# ferrowick — build, test and demo.
#   make test    build everything and run the C++ (CTest) and Python (pytest) tests
#   make demo    build the module and start ferrowick-shell (reads stdin when piped)
#   make wheel   a wheel of the same build into DIST (default dist/)
# PYTHON=/path/to/python3.x picks the interpreter (>= 3.12); VENV the environment.

SHELL := /bin/bash
PYTHON ?= $(shell scripts/find_python.sh)
VENV ?= .venv
VPY := $(VENV)/bin/python
# One build tree per Python holds the core, the module and the C++ tests,
# so the core is compiled once for both.
PY_MINOR := $(shell $(PYTHON) -c 'import sys; print(sys.version_info[1])' 2>/dev/null)
PY_BUILD ?= build/py3.$(PY_MINOR)
APT_PACKAGES := g++ libgtest-dev
JOBS ?= 2
# scikit-build-core's settings for the dev tree: the tests are configured,
# pip builds only the module; `make wheel` reuses the same tree.
SKBUILD := -Cbuild-dir='$(PY_BUILD)' -Ccmake.define.FERROWICK_TESTS=ON -Cbuild.targets=ferrowick
DIST ?= dist

export FERROWICK_WERROR ?= ON
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

.PHONY: all test demo bootstrap module wheel cpp-test py-test clean check-python check-packaging check-threads

all: module

check-python:
	@if [ -z "$(PYTHON)" ]; then echo "No Python >= 3.12 found; set PYTHON=/path/to/python3.12" >&2; exit 1; fi

bootstrap: check-python
	@scripts/bootstrap.sh "$(VENV)" "$(PYTHON)" $(APT_PACKAGES)

# The extension, installed into the virtual environment.
module: bootstrap
	@echo "== building and installing ferrowick into $(VENV)" >&2
	@$(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation $(SKBUILD) .

# A wheel of the same build into $(DIST) (scripts/check_wheels.sh repairs it).
wheel: bootstrap
	@$(VPY) -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w '$(DIST)' $(SKBUILD) .

# The C++ tests, built in the module's tree against the same core objects.
cpp-test: module
	@echo "== C++ unit tests"
	@PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(PY_BUILD) -j $(JOBS)
	@cd $(PY_BUILD) && PATH="$(abspath $(VENV))/bin:$$PATH" ctest --output-on-failure -j $(JOBS)

py-test: module
	@echo "== Python tests ($(shell $(VPY) -c 'import sys; print(sys.version.split()[0])'))"
	@cd tests/python && ../../$(VPY) -m pytest -q -p no:cacheprovider .

test: cpp-test py-test

# Stubs against the built module (stubtest, mypy --strict) and wheels that
# install and run in fresh environments of Python 3.12 and 3.13.
check-packaging: module
	@scripts/check_packaging.sh "$(VENV)"
	@VENV="$(VENV)" scripts/check_wheels.sh

# Clang's thread-safety analysis (common/thread_annotations.h) over the core
# libraries and their tests, every finding an error; a debug build, so the
# debug-only checks of the fast paths compile too. One job: the machine is shared.
THREADS_BUILD ?= build/threads
check-threads: check-python
	@scripts/bootstrap.sh "$(VENV)" "$(PYTHON)" $(APT_PACKAGES) clang
	@echo "== thread-safety analysis (clang++ -Wthread-safety) in $(THREADS_BUILD)" >&2
	@PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(THREADS_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_COMPILER=clang++ "-DCMAKE_CXX_FLAGS=-Wthread-safety" \
	  -DFERROWICK_PYTHON=OFF -DFERROWICK_TESTS=ON -DFERROWICK_WERROR=ON >/dev/null
	@PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(THREADS_BUILD) -j 1

# Sanitizers (ASan+UBSan, TSan), fuzzing, soak and leak checks; slow (about
# a quarter of an hour on two cores). See scripts/check_deep.sh.
.PHONY: check-deep
check-deep: check-python
	@PYTHON="$(PYTHON)" VENV="$(VENV)" JOBS="$(JOBS)" scripts/check_deep.sh

demo: module
	@$(VENV)/bin/ferrowick-shell

clean:
	rm -rf build .venv .venv-*
