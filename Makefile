# Set-up and checks for halvex. Everything it needs it installs itself, idempotently.
PY      ?= python3
VENV    ?= .venv
VPY     := $(VENV)/bin/python
VPIP    := $(VPY) -m pip
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
CPPTEST_DIR := build/cpp-tests
DEMO_OUT ?= demo_out

# Needed to build and test.
APT_PACKAGES := libgtest-dev zlib1g-dev cmake g++
# Wanted but not needed: chromium drives the browser tests (they skip without it) and
# libjs-d3 provides the chart library the pages inline (they draw their own charts without it).
APT_OPTIONAL := chromium libjs-d3

.PHONY: all deps apt venv js install cpp-test pytest browser-test stubs stubs-check test demo bench clean

all: install

# System packages. Only installs what is missing.
apt:
	@SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	missing=""; for p in $(APT_PACKAGES) $(APT_OPTIONAL); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing system packages:$$missing"; \
	  $$SUDO apt-get update -qq || true; \
	  for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || \
	    DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$p || exit 1; done; \
	  for p in $(APT_OPTIONAL); do dpkg -s $$p >/dev/null 2>&1 || \
	    DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$p || echo "optional package $$p not installed"; done; \
	fi

$(VPY):
	$(PY) -m venv $(VENV)
	$(VPIP) install -q --upgrade pip

venv: $(VPY)
	$(VPIP) install -q scikit-build-core nanobind pytest jinja2 duckdb pandas pyarrow numpy playwright axe-playwright-python

# Chart-library scripts from Debian's packages into src/halvex/js (the pages work without them).
js:
	sh tools/fetch_js.sh

install: apt venv js
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPIP) install -q --no-build-isolation .

cpp-test: apt venv
	cmake -S . -B $(CPPTEST_DIR) -DHALVEX_BUILD_TESTS=ON -DHALVEX_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(CPPTEST_DIR) -j $(JOBS)
	cd $(CPPTEST_DIR) && ctest --output-on-failure

pytest: install
	$(VPY) -m pytest -q tests/python

# Headless Chromium (Debian's package) driven by Playwright; no browser download.
browser-test: install
	$(VPY) -m pytest -q tests/browser

# Type stubs of the extension modules, generated from the built modules (module:stub file).
STUBS := halvex.pipeline.vitrum:src/halvex/pipeline/vitrum.pyi halvex.ml.features:src/halvex/ml/features.pyi
STUBGEN := $(VPY) -m nanobind.stubgen -q -P -p tools/stub_patterns.txt

stubs: install
	@for spec in $(STUBS); do $(STUBGEN) -m $${spec%%:*} -o $${spec#*:} || exit 1; done

# Fails when a committed stub differs from what the built module gives (run `make stubs`).
stubs-check: install
	@tmp=$$(mktemp -d); status=0; \
	for spec in $(STUBS); do \
	  $(STUBGEN) -m $${spec%%:*} -o $$tmp/stub.pyi || { status=1; continue; }; \
	  diff -u $${spec#*:} $$tmp/stub.pyi || { echo "stale stub: $${spec#*:} (make stubs)"; status=1; }; \
	done; rm -rf $$tmp; exit $$status

test: install cpp-test stubs-check pytest browser-test

demo: install
	$(VENV)/bin/halvex demo --out $(DEMO_OUT)

# Benchmarks: not part of the tests; each takes minutes at full size.
bench: install
	$(VPY) benchmarks/bench_render.py
	$(VPY) benchmarks/bench_v300.py
	$(VPY) benchmarks/bench_page_data.py
	$(VPY) benchmarks/bench_features.py
	$(VPY) benchmarks/bench_browser.py

clean:
	rm -rf build $(CPPTEST_DIR) $(DEMO_OUT)
