# Sourced (from the checkout root) by the scripts that build or test: makes sure .venv/
# is ready, puts its bin/ first on PATH (so its CMake, Ninja and the installed
# tallyfold command come first) and sets $python to its interpreter.
if ! .venv/bin/python -c '' 2>/dev/null || ! cmp -s scripts/requirements-dev.txt .venv/requirements-dev.txt; then
  bash scripts/install-deps.sh
fi
export VIRTUAL_ENV=$PWD/.venv
export PATH=$VIRTUAL_ENV/bin:$PATH
python=$VIRTUAL_ENV/bin/python
