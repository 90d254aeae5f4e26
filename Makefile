# Set-up and checks for halvex. Everything it needs it installs itself, idempotently.
PY      ?= python3
VENV    ?= .venv
VPY     := $(VENV)/bin/python
VPIP    := $(VPY) -m pip
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
CPPTEST_DIR := build/cpp-tests
DEMO_OUT ?= demo_out

APT_PACKAGES := libgtest-dev zlib1g-dev cmake g++

.PHONY: all deps apt venv install cpp-test pytest test demo bench clean

all: install

# System packages (GoogleTest, zlib headers). Only installs what is missing.
apt:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing system packages:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(VPY):
	$(PY) -m venv $(VENV)
	$(VPIP) install -q --upgrade pip

venv: $(VPY)
	$(VPIP) install -q scikit-build-core nanobind pytest jinja2 duckdb pandas pyarrow numpy

install: apt venv
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPIP) install -q --no-build-isolation .

cpp-test: apt venv
	cmake -S . -B $(CPPTEST_DIR) -DHALVEX_BUILD_TESTS=ON -DHALVEX_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(CPPTEST_DIR) -j $(JOBS)
	cd $(CPPTEST_DIR) && ctest --output-on-failure

pytest: install
	$(VPY) -m pytest -q tests/python

test: install cpp-test pytest

demo: install
	$(VENV)/bin/halvex demo --out $(DEMO_OUT)

clean:
	rm -rf build $(CPPTEST_DIR) $(DEMO_OUT)
