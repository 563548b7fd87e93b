# make test   installs what is missing, builds, runs the C++ and Python suites
# make demo   installs what is missing, builds, runs the built-in example
# make bench  builds and runs the benchmarks (not part of the tests)
PYTHON := .venv/bin/python

.PHONY: setup test test-cpp test-python demo bench

setup:
	bash scripts/setup

test: setup
	@status=0; \
	build/tests/cpp/quorin_tests --gtest_brief=1 || status=1; \
	meson test -C build --no-rebuild --suite fuzz --print-errorlogs || status=1; \
	$(PYTHON) -m pytest -q tests/python || status=1; \
	exit $$status

demo: setup
	$(PYTHON) examples/demo.py

test-cpp:
	ninja -C build && build/tests/cpp/quorin_tests --gtest_brief=1

test-python:
	$(PYTHON) -m pytest -q tests/python

bench: setup
	@for b in build/bench/*_bench; do echo "== $$b"; $$b || exit 1; done
	@echo "== bench/build_bench.py"; $(PYTHON) bench/build_bench.py
	@echo "== bench/large_surface_bench.py"; $(PYTHON) bench/large_surface_bench.py
