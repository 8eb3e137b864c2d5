# Two entry points, each doing all of its own set-up on a fresh machine:
#   make demo   converts the bundled demo tileset into OBJ files
#   make test   runs the whole test suite
PYTHON ?= python3
VENV   ?= .venv
BIN    := $(VENV)/bin

.PHONY: demo test install system-deps clean

system-deps:
	@tools/system-deps

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip

# Always rebuilds the package from this tree into the virtual environment.
install: system-deps $(BIN)/python
	$(BIN)/python -m pip install -q ".[test]"

demo: install
	$(BIN)/python -P -m tessaroid.demo  # -P: import the installed package, not ./tessaroid

# pytest's own runner (not `python -m pytest`) keeps the source tree off
# sys.path, so the tests import the installed, built package.
test: install
	cd tests && ../$(BIN)/pytest -q -p no:cacheprovider $(PYTEST_ARGS)

clean:
	rm -rf build $(VENV) demo-out
