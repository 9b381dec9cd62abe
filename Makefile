# Two entry points for a fresh Debian machine (run as root):
#   make demo   set everything up, build, and repair the sample picture
#   make test   set everything up, build, and run every test (C++ and Python)
#   make check  make test, then the Python 3.11 wheel built and tried in a
#               clean Debian 12 root (what CI runs)
# Both are idempotent and print what they do. `make test` also runs the CUDA
# backend on an emulated device when the HIP CPU runtime is beside the
# repository (../shared/third_party/hip-cpu; scripts/find-hip-cpu), and says
# so when it is not. Further checks of the image readers (need clang for
# fuzzing): make test-sanitize, make fuzz. `make docs` builds the
# documentation (Sphinx, into build/docs/html) and runs its doctests.

PY        := .venv/bin/python
CPP_BUILD := build/cpp
JOBS      ?= $(shell nproc)
HIP_CPU   := $(shell scripts/find-hip-cpu 2>/dev/null)

.PHONY: all setup build-cpp test-cpp install test-python test-emulated test \
        demo docs bench test-sanitize fuzz clean

all: test

setup:
	@bash scripts/setup.sh

build-cpp: setup
	@echo "[build] C++ library and unit tests in $(CPP_BUILD)$(if $(HIP_CPU), (and the emulated CUDA device))"
	@cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DPATCHWELL_BUILD_TESTS=ON -DPATCHWELL_BUILD_BENCH=ON -DPATCHWELL_BUILD_PYTHON=OFF -DPATCHWELL_CUDA=OFF \
	    -DPATCHWELL_HIP_CPU_DIR="$(HIP_CPU)" -DPATCHWELL_BUILD_EMULATED_MODULE=$(if $(HIP_CPU),ON,OFF) \
	    -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	@cmake --build $(CPP_BUILD) -j $(JOBS)

test-cpp: build-cpp
	@echo "[test] C++ unit tests (ctest)"
	@ctest --test-dir $(CPP_BUILD) -LE emulated_cuda --output-on-failure -j $(JOBS)

# The .venv build keeps a folder of its own: a plain `pip install .` builds in
# a fresh isolated environment, which makes scikit-build-core clear the
# folder it uses (build/wheel-*), so sharing one would rebuild everything.
install: setup
	@echo "[build] Python module (pip install into .venv; CUDA backend when nvcc is found)"
	@CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m pip install -q --no-build-isolation \
	    -C build-dir=build/venv-{wheel_tag} .

# The doctests of the installed package's docstrings (patchwell.dask only
# where Dask is installed); the documentation's own run with `make docs`.
test-python: install
	@echo "[test] Python tests (pytest)"
	@$(PY) -m pytest -q
	@echo "[test] doctests of the package's docstrings"
	@$(PY) -m pytest -q -p no:cacheprovider --doctest-modules --pyargs patchwell \
	    $$($(PY) -c 'import importlib.util as u, os, patchwell; u.find_spec("distributed") or \
	        print("--ignore=" + os.path.join(os.path.dirname(patchwell.__file__), "dask.py"))')

test-emulated: build-cpp
	@JOBS=$(JOBS) bash scripts/test-emulated $(CPP_BUILD) $(PY)

test: test-cpp test-python test-emulated

demo: install
	@echo "[demo] patchwell samples/sample.png samples/sample_mask.png -o out/sample_inpaint.png"
	@mkdir -p out
	@out=$$(.venv/bin/patchwell samples/sample.png samples/sample_mask.png \
	    -o out/sample_inpaint.png) && echo "[demo] repaired image written to $$out"

# Warnings are errors (-W), all of them reported (--keep-going). The HTML
# build runs the gallery's examples; the doctest build reuses their output.
DOCS_BUILD := build/docs
docs: install
	@bash scripts/setup.sh docs
	@echo "[docs] HTML into $(DOCS_BUILD)/html (runs the gallery's examples)"
	@$(PY) -m sphinx -q -W --keep-going -j 1 -b html -d $(DOCS_BUILD)/doctrees docs $(DOCS_BUILD)/html
	@echo "[docs] doctests of every page"
	@$(PY) -m sphinx -q -W --keep-going -b doctest -d $(DOCS_BUILD)/doctrees docs $(DOCS_BUILD)/doctest
	@echo "[docs] built: $(DOCS_BUILD)/html/index.html"

test-sanitize: install
	@echo "[test] C++ unit tests and the command's tests under AddressSanitizer and UndefinedBehaviorSanitizer"
	@bash scripts/sanitize.sh

FUZZ_SECONDS ?= 60
fuzz: setup
	@echo "[fuzz] each image reader for $(FUZZ_SECONDS) s (clang, libFuzzer)"
	@bash scripts/fuzz.sh $(FUZZ_SECONDS)

bench: build-cpp install
	@echo "[bench] CPU backend against the plain scalar reference"
	@$(CPP_BUILD)/bench_cpu_exhaustive
	@echo "[bench] Python: CPU benchmark"
	@$(PY) bench/bench_cpu.py
	@echo "[bench] GPU Fast's CPU engine"
	@$(CPP_BUILD)/bench_cpu_fast
	@echo "[bench] GPU Fast against the exhaustive method"
	@$(PY) bench/bench_fast.py
	@echo "[bench] batches: patchwell batch --jobs 1 and 2, a Dask cluster of two workers"
	@$(PY) bench/bench_batch.py

clean:
	rm -rf build

# Wheels that install with pip on any Linux with glibc 2.31 or newer, built
# in a Debian 11 root (scripts/wheel/; needs root, debootstrap from Debian's
# archive, the codecs' and interpreters' Debian sources, build tools from
# PyPI), one per Python version of scripts/wheel/common.sh or of
# WHEEL_PYTHONS ("3.11 3.13"), with the sdist, into dist/. Caches in
# build/wheel-root. test-wheel: the smoke test of the wheels in clean
# Debian 11, 12 and 13 roots (Python 3.9, 3.11, 3.13).
# ci-wheel: the wheel for Python 3.11 only, then its smoke test in a clean
# Debian 12 root (what CI runs; cold, it builds every cached step).
WHEEL_PYTHONS ?=
.PHONY: wheel test-wheel ci-wheel check
wheel:
	@bash scripts/wheel/build-wheels.sh $(WHEEL_PYTHONS)

test-wheel:
	@bash scripts/wheel/test-wheels.sh

ci-wheel:
	@bash scripts/wheel/ci-wheel.sh

# Every test, then the wheel for the Python of a fresh Debian 12 in a clean
# root: what CI runs (.ci/run).
check: test ci-wheel
