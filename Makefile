# ferrowick — build, test and demo.
#   make test    build everything and run the C++ (CTest) and Python (pytest) tests
#   make demo    build the module and start ferrowick-shell (reads stdin when piped)
# PYTHON=/path/to/python3.x picks the interpreter (>= 3.12); VENV the environment.

SHELL := /bin/bash
PYTHON ?= $(shell scripts/find_python.sh)
VENV ?= .venv
VPY := $(VENV)/bin/python
CPP_BUILD ?= build/cpp
PY_BUILD ?= build/{wheel_tag}
APT_PACKAGES := g++ libgtest-dev
JOBS ?= 2

export FERROWICK_WERROR ?= ON

.PHONY: all test demo bootstrap module cpp-test py-test clean check-python check-packaging

all: module

check-python:
	@if [ -z "$(PYTHON)" ]; then echo "No Python >= 3.12 found; set PYTHON=/path/to/python3.12" >&2; exit 1; fi

bootstrap: check-python
	@scripts/bootstrap.sh "$(VENV)" "$(PYTHON)" $(APT_PACKAGES)

# The extension, installed into the virtual environment.
module: bootstrap
	@echo "== building and installing ferrowick into $(VENV)" >&2
	@$(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation \
	  -Cbuild-dir='$(PY_BUILD)' .

cpp-test: bootstrap
	@echo "== C++ unit tests"
	@PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(CPP_BUILD) -G Ninja -DFERROWICK_PYTHON=OFF \
	  -DFERROWICK_TESTS=ON -DFERROWICK_WERROR=$(FERROWICK_WERROR) >/dev/null
	@PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(CPP_BUILD) -j $(JOBS)
	@cd $(CPP_BUILD) && PATH="$(abspath $(VENV))/bin:$$PATH" ctest --output-on-failure -j $(JOBS)

py-test: module
	@echo "== Python tests ($(shell $(VPY) -c 'import sys; print(sys.version.split()[0])'))"
	@cd tests/python && ../../$(VPY) -m pytest -q -p no:cacheprovider .

test: cpp-test py-test

# Stubs against the built module (stubtest, mypy --strict) and wheels that
# install and run in fresh environments of Python 3.12 and 3.13.
check-packaging: module
	@scripts/check_packaging.sh "$(VENV)"
	@scripts/check_wheels.sh

# Sanitizers (ASan+UBSan, TSan), fuzzing, soak and leak checks; slow (about
# a quarter of an hour on two cores). See scripts/check_deep.sh.
.PHONY: check-deep
check-deep: check-python
	@PYTHON="$(PYTHON)" VENV="$(VENV)" JOBS="$(JOBS)" scripts/check_deep.sh

demo: module
	@$(VENV)/bin/ferrowick-shell

clean:
	rm -rf build .venv .venv-*
