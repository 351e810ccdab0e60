# Every target installs what it needs first, so each works on a fresh machine.
PYTHON ?= python3
PYVER := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV := .venv-$(PYVER)
VPY := $(VENV)/bin/python
PYTEST_ARGS ?=

.PHONY: help deps build run test clean

help:            ## list the targets
	@grep -E '^[a-z-]+:.*## ' $(MAKEFILE_LIST) | sed 's/:.*## /\t/'

deps:            ## install the Debian packages and the Python build and test tools
	./scripts/install-system-packages
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --disable-pip-version-check \
	  "scikit-build-core>=0.10" "pybind11>=2.12" cmake ninja pytest hypothesis

build: deps      ## build and install the module and the launcher into the virtual environment
	$(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation .

run: build       ## start the interactive client
	$(VENV)/bin/marnu-tails-client

test: build      ## run every test
	$(VPY) -m pytest -q $(PYTEST_ARGS) tests

clean:           ## remove build trees and virtual environments
	rm -rf build .venv-*
